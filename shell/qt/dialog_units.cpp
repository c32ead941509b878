#include "shell/qt/dialog_units.h"

#include <QFontMetrics>
#include <QStringList>

QFont dialogFont() {
    QFont font(QStringLiteral("IPAPGothic"), 9);
    font.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("IPA PGothic"),
                      QStringLiteral("Noto Sans CJK JP"), QStringLiteral("sans-serif")});
    return font;
}

QFont fixedGothicFont(int pointSize) {
    QFont font(QStringLiteral("IPAGothic"), pointSize);
    font.setFamilies({QStringLiteral("IPAGothic"), QStringLiteral("IPA Gothic"),
                      QStringLiteral("Noto Sans Mono CJK JP"), QStringLiteral("monospace")});
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    QFontMetrics m(font);
    // Windows' GdiGetCharDimensions: the average width of the 52 letters, rounded.
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    cx = (m.horizontalAdvance(letters) / 26 + 1) / 2;
    cy = m.height();
    if (cx <= 0) cx = 6;
    if (cy <= 0) cy = 12;
}
