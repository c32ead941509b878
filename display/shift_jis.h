// Code page 932's double-byte classes, the one table both the renderer (which holds a character
// cut between two chunks together) and the view (which decodes the text it shows and copies)
// go by: were they to differ, a character the view draws whole could be shown half until its
// second byte came, or the renderer could wait for the trail of a byte the view shows alone.
#pragma once

#include <cstdint>

// 0xF0..0xF9 (the user-defined area) and 0xFA..0xFC (the IBM extension kanji) start characters
// too; 0xFD..0xFF start none.
inline bool isShiftJisLeadByte(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
inline bool isShiftJisTrailByte(uint8_t b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }
