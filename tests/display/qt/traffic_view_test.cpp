// How the view draws a row: glyphs placed on the cells of their bytes, checked against drawing
// each character by itself at its cell, in a font that has every character and in one that
// lacks the Japanese ones, which must still appear, from another font.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <memory>

#include "display/qt/traffic_view.h"
#include "display/traffic_text_control.h"

TEST(TrafficView, DrawsEachCharacterOnItsCellAlsoWhereTheFontLacksIt) {
    const std::string lines[] = {"0000: 41 42 43 0D 0A  ABC..", "ab\x93\xfa\x96\x7b" "c \xb1\xb2 z~"};
    for (const char* family : {"IPAGothic", "DejaVu Sans Mono"}) {
        SCOPED_TRACE(family);
        TrafficView view;
        view.setFont(QFont(QString::fromLatin1(family), 12));
        view.resize(500, 120);
        auto model = std::make_shared<TrafficTextControl>();
        model->setText(lines[0] + "\r\n" + lines[1]);
        view.setModel(model);
        view.show();
        QApplication::processEvents();
        const QImage shown = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);

        QImage expected(shown.size(), QImage::Format_RGB32);
        expected.fill(view.palette().color(QPalette::Base));
        QPainter painter(&expected);
        painter.setFont(view.font());
        painter.setPen(Qt::black);
        const QFontMetrics metrics(view.font());
        for (int row = 0; row < 2; ++row) {
            for (const DisplaySegment& segment : decodeDisplayLine(lines[row])) {
                const QList<uint> characters = segment.text.toUcs4();
                for (qsizetype k = 0; k < characters.size(); ++k) {
                    const QPoint at(2 + (segment.column + static_cast<int>(k)) * view.cellWidth(),
                                    row * view.lineHeight() + metrics.ascent());
                    painter.drawText(at, QString::fromUcs4(reinterpret_cast<const char32_t*>(&characters[k]), 1));
                }
            }
        }
        painter.end();
        EXPECT_EQ(shown, expected);
    }
}
