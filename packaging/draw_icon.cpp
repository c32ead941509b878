// Draws the program's icon (resources/vorlinex.png: two devices, a green arrow to the right
// above a red arrow to the left) as shapes, so every menu size is sharp rather than scaled up
// from 32 pixels: draw_icon OUTDIR SIZE... writes OUTDIR/<SIZE>x<SIZE>/apps/vorlinex.png.
#include <QColor>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QString>
#include <cstdio>

namespace {

// Coordinates are those of the 32-pixel original.
void drawDevice(QPainter& p, double left) {
    const QRectF body(left, 6.5, 9.0, 20.0);
    p.setPen(QPen(QColor(0, 1, 2), 1.0));
    p.setBrush(QColor(30, 61, 124));
    p.drawRoundedRect(body, 1.0, 1.0);
    p.setPen(QPen(QColor(19, 39, 80), 1.0));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(body.adjusted(1.0, 1.0, -1.0, -1.0), 0.5, 0.5);
    for (double y : {10.5, 16.5, 22.5}) {
        p.setPen(QPen(QColor(107, 114, 83), 0.6));
        p.setBrush(QColor(254, 214, 0));
        p.drawEllipse(QPointF(left + 4.5, y), 1.6, 1.6);
    }
}

void drawArrow(QPainter& p, const QColor& colour, double tail, double tip, double y) {
    const double dir = tip > tail ? 1.0 : -1.0;
    const double neck = tip - dir * 3.5;
    QPolygonF arrow;
    arrow << QPointF(tail, y - 1.5) << QPointF(neck, y - 1.5) << QPointF(neck, y - 3.5)
          << QPointF(tip, y) << QPointF(neck, y + 3.5) << QPointF(neck, y + 1.5)
          << QPointF(tail, y + 1.5);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPolygon(arrow);
}

QImage drawIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    drawDevice(p, 2.5);
    drawDevice(p, 20.5);
    drawArrow(p, QColor(0, 160, 0), 12.0, 21.0, 11.5);
    drawArrow(p, QColor(208, 0, 0), 21.0, 12.0, 20.5);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: draw_icon OUTDIR SIZE...\n");
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        const int size = QString::fromLocal8Bit(argv[i]).toInt();
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[1])).arg(size);
        if (size < 16 || !QDir().mkpath(dir) || !drawIcon(size).save(dir + QStringLiteral("/vorlinex.png"))) {
            std::fprintf(stderr, "draw_icon: cannot write the %s pixel icon\n", argv[i]);
            return 1;
        }
    }
    return 0;
}
