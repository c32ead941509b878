// The timeline's list as a real widget: frame rows with their verdicts and summaries, and the text column's
// code page 932, as drawn (rows read back, pixels of the viewport) and as copied.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QImage>
#include <QPalette>
#include <algorithm>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "display/qt/timeline_view.h"
#include "display/timeline_file.h"
#include "display/timeline_records.h"
#include "tests/display/timeline_lines.h"
#include "tests/support/pty_cable.h"

namespace {

int apart(const QColor& a, const QColor& b) {
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
}

QString words(const QString& row) { return row.split(QLatin1Char(' '), Qt::SkipEmptyParts).join(QLatin1Char(' ')); }

class TimelineFramesView : public ::testing::Test {
protected:
    TimelineFramesView() {
        view.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        view.resize(1600, 400);
        view.show();
    }
    std::vector<QString> rowsInSight() {
        view.refresh();
        return view.rowsInSight();
    }
    // The viewport as drawn now.
    QImage drawn() {
        view.refresh();
        return view.viewport()->grab().toImage();
    }
    // The colour that strays furthest from the background of row `row` within cells from..to, and how far;
    // the background is the row's colour at its left edge, which no text reaches.
    std::pair<QColor, int> inkOf(const QImage& image, int row, int from, int to) {
        const double scale = static_cast<double>(image.height()) / view.viewport()->height();
        const int top = static_cast<int>(row * view.rowHeight() * scale);
        const int bottom = static_cast<int>((row + 1) * view.rowHeight() * scale);
        const QColor background = image.pixelColor(1, (top + bottom) / 2);
        std::pair<QColor, int> ink{background, 0};
        for (int y = top; y < bottom; ++y)
            for (int x = static_cast<int>((4 + from * view.cellWidth()) * scale);
                 x < static_cast<int>((4 + to * view.cellWidth()) * scale) && x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (apart(c, background) > ink.second) ink = {c, apart(c, background)};
            }
        return ink;
    }

    TimelineView view;
};

}  // namespace

// A saved frame log's rows: each ends in its verdict and summary, in one column whatever the frame's length; an
// answer's with its response time, a timeout's without bytes. Bad frames and timeouts stand out in a light and a dark
// palette; the answer's arrow is drawn. The copy gives the frame lines back, on the clipboard as they are.
TEST_F(TimelineFramesView, FrameRowsShowVerdictAndSummaryErrorsStandOutAndCopyAsFrameLines) {
    std::tm local{};
    std::istringstream("2026-12-07 14:03:27") >> std::get_time(&local, "%Y-%m-%d %H:%M:%S");
    const std::string request("\x11\x03\x00\x6B\x00\x03\x76\x87", 8);
    const std::string asked = "unit 17 Read Holding Registers 107..109";
    // One frame (or timeout) a line, each a millisecond after the one before: channel, bytes, verdict, summary.
    std::vector<TimelineRecord> lines = {
        {0, local, 0, 0, 1, request, true, Verdict::Ok, asked},
        {0, local, 0, 1234, 2, std::string("\x11\x03\x06\xAE\x41\x56\x52\x43\x40\x49\xAD", 11), true, Verdict::Ok,
         "\u2192 3 registers 0xAE41 0x5652 0x4340, answer after 1.234 ms"},
        {0, local, 0, 50000, 1, std::string("\x11\x03\x00\x6B\x00\x03\x76\x88", 8), true, Verdict::BadCrc,
         "CRC bad: 0x8876, should be 0x8776"},
        {0, local, 0, 50000, 1, request, true, Verdict::Ok, asked},
        {0, local, 0, 1000000, 1, "", true, Verdict::Timeout, "timeout after 1.000 s: " + asked},
        {0, local, 0, 3000, 1, std::string(20, '\x10'), true, Verdict::Unknown, "unit 16 function 16: 18 bytes"}};
    for (size_t i = 0; i < lines.size(); ++i) lines[i].micros = static_cast<int32_t>(123456 + i * 1000);
    const std::string log = frameLines(lines);
    ScratchDir dir;
    dir.write("frames.log", log);
    TimelineFile file;
    const TimelineFile::Progress progress = indexed(file, dir.file("frames.log"));
    ASSERT_EQ(std::make_pair(progress.records, progress.skippedLines), std::make_pair(uint64_t{6}, uint64_t{0}));
    view.setSource(&file, false);

    const std::vector<QString> rows = rowsInSight();
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(words(rows[1]), QString::fromUtf8("14:03:27.124456 +0.001234 2>1 11 11 03 06 AE 41 56 52 43 40 49 AD "
                                                "...\uFF6EAVRC@I\uFF6D [ok] \u2192 3 registers 0xAE41 0x5652 "
                                                "0x4340, answer after 1.234 ms"))
        << "the text column reads code page 932 in a frame's row too";
    EXPECT_EQ(words(rows[4]), QStringLiteral("14:03:27.127456 +1.000000 1>2 [timeout] timeout after 1.000 s: ") +
                                  QString::fromStdString(asked));
    const qsizetype summary = rows[0].indexOf(QLatin1String("[ok]"));
    EXPECT_TRUE(summary > 0 && rows[1].indexOf(QLatin1String("[ok]")) == summary &&
                rows[2].indexOf(QLatin1String("[bad crc]")) == summary &&
                rows[4].indexOf(QLatin1String("[timeout]")) == summary &&
                rows[5].indexOf(QLatin1String("[unknown]")) == summary);
    EXPECT_EQ(words(rows[6]), QStringLiteral("10 10 10 10 ....")) << "the summary on the frame's first row only";

    // Row 0 is good and row 2 bad, both 1>2; row 4 is a timeout, row 5 an unknown function (no error).
    QPalette dark = view.palette();
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::Text, QColor(0xe0, 0xe0, 0xe0));
    for (const QPalette& palette : {view.palette(), dark}) {
        view.setPalette(palette);
        const QImage image = drawn();
        const QColor base = palette.color(QPalette::Base);
        const auto [good, goodApart] = inkOf(image, 0, static_cast<int>(summary), static_cast<int>(summary) + 30);
        const auto [bad, badApart] = inkOf(image, 2, static_cast<int>(summary), static_cast<int>(summary) + 30);
        const auto [timeout, timeoutApart] = inkOf(image, 4, static_cast<int>(summary), static_cast<int>(summary) + 30);
        const auto [hex, hexApart] = inkOf(image, 0, 0, static_cast<int>(summary));
        EXPECT_TRUE(goodApart > 100 && badApart > 100 && timeoutApart > 100) << "every summary reads on its base";
        EXPECT_TRUE(apart(good, hex) < 30 && apart(bad, good) > 60 && apart(timeout, good) > 60)
            << "a good frame's summary in its direction's colour, a bad one's and a timeout's apart: "
            << good.name().toStdString() << " " << bad.name().toStdString() << " " << timeout.name().toStdString();
        EXPECT_TRUE(image.pixelColor(1, view.rowHeight() / 2) == base &&
                    image.pixelColor(1, 2 * view.rowHeight() + view.rowHeight() / 2) != base &&
                    image.pixelColor(1, 5 * view.rowHeight() + view.rowHeight() / 2) == base)
            << "a bad frame's row is tinted, a good one's and an unknown function's not";
        const qsizetype arrow = rows[1].indexOf(QChar(0x2192));
        EXPECT_GT(inkOf(image, 1, static_cast<int>(arrow), static_cast<int>(arrow) + 1).second, 100) << "the arrow";
    }

    view.selectAll();
    view.copySelection();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), log) << "the arrow whole on the clipboard";
}

// The text column reads code page 932 as the display windows do: a double-byte character over its two cells,
// half-width katakana as itself, a character cut by the row's end and a pair that makes none as dots. The
// copy's text column stays the record line's, dots for every byte above 0x7E.
TEST_F(TimelineFramesView, ShiftJisTextShowsItsCharactersOnTheGridWhileTheCopyKeepsDots) {
    TimelineRecords records;
    records.setTaking(true);
    // 稼働中; ｱｲ, a pair of no character, a control, a lead at the end; こ cut by the row's end, then こあ.
    const int64_t at = int64_t{1796645007} * 1000000;
    takeRead(records, 2, "OK \x89\xd2\x93\xad\x92\x86Z", at, at);
    takeRead(records, 1, "\xb1\xb2\x85\x40\x01\x82", at + 1000, at + 1000);
    takeRead(records, 1, std::string(15, 'A') + "\x82\xb1\x82\xb1\x82\xa0", at + 2000, at + 2000);
    view.setSource(&records, false);

    const std::vector<QString> rows = rowsInSight();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_TRUE(rows[0].endsWith(QString::fromUtf8("  OK 稼働中Z")) && rows[1].endsWith(QString::fromUtf8("  ｱｲ....")) &&
                rows[2].endsWith(QStringLiteral("  AAAAAAAAAAAAAAA.")) &&
                rows[3].endsWith(QString::fromUtf8("  .こあ")))
        << rows[0].toStdString() << "\n" << rows[1].toStdString() << "\n" << rows[3].toStdString();
    // Z is on the tenth cell of the text: each character two cells wide took two.
    const int text = static_cast<int>(rows[2].indexOf(QLatin1Char('A'), rows[2].indexOf(QLatin1String("  AA"))));
    const QImage image = drawn();
    EXPECT_TRUE(inkOf(image, 0, text + 9, text + 10).second > 100 && inkOf(image, 0, text + 10, text + 12).second == 0);

    view.selectAll();
    const std::string copied = view.selectionText();
    EXPECT_NE(copied.find("|OK ......Z|\n"), std::string::npos) << copied;
    EXPECT_NE(copied.find("|...@..|\n"), std::string::npos) << copied;
}
