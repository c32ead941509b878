// Code page 932 as the windows use it: the character one or two stored bytes make, and typed
// text as the bytes a device would send. The system's own converter does the work (iconv on
// Linux, the code page functions on Windows).
#pragma once

#include <QString>
#include <cstddef>
#include <optional>
#include <string>

// Holds one converter for its life, opened once: a frame draws dozens of lines. One thread at
// a time.
class Cp932Characters {
public:
    Cp932Characters();
    ~Cp932Characters();
    Cp932Characters(const Cp932Characters&) = delete;
    Cp932Characters& operator=(const Cp932Characters&) = delete;

    // The text that `length` (1 or 2) bytes make; empty when they make none.
    QString character(const char* bytes, size_t length);

private:
    void* converter_ = nullptr;  // the system's converter, where it has one
};

// The text in code page 932; nothing when a character of it has no place in that code page.
std::optional<std::string> codePage932Bytes(const QString& text);
