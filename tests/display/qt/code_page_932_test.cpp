// Code page 932 through the system's converter, as the display draws bytes and the find bar turns text into bytes.
#include <gtest/gtest.h>

#include "display/qt/code_page_932.h"
#include "display/qt/traffic_view.h"

// "A", あ (0x82 0xA0), half-width ｱ (0xB1), 漢 (0x8A 0xBF); a lead byte at the line's end and a
// control byte are no characters: a box each. Each run of one width is a segment on its cells.
TEST(CodePage932, BytesDrawAsTheirCharactersOrAPlaceholderAndTypedTextBecomesItsBytesOrIsRefused) {
    Cp932Decoder decoder;
    EXPECT_EQ(decoder.lineText("A\x82\xa0\xb1\x8a\xbf"), QString::fromUtf8("Aあｱ漢"));
    EXPECT_EQ(decoder.lineText("x\x14y\x82"), QString::fromUtf8("x\u25a1y\u25a1"));
    const std::vector<DisplaySegment> segments = decoder.decodeLine("a\x82\xa0Z");
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_TRUE(segments[1].text == QString::fromUtf8("あ") && segments[1].cells == 2 && segments[2].column == 3);
    // Typed text: a best fit would search for "e" for "é"; the find bar searches the UTF-8 bytes instead.
    EXPECT_EQ(codePage932Bytes(QString::fromUtf8("Aあｱ漢")), std::optional<std::string>("A\x82\xa0\xb1\x8a\xbf"));
    EXPECT_EQ(codePage932Bytes(QString()), std::optional<std::string>(""));
    EXPECT_EQ(codePage932Bytes(QString::fromUtf8("caf\u00e9")), std::nullopt);
    EXPECT_EQ(codePage932Bytes(QString::fromUtf8("\U0001F600")), std::nullopt);
}
