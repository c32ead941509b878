// Dialog templates are laid out in dialog units; this converts them to pixels with the dialog
// font's average character size, as Windows does (x * cx / 4, y * cy / 8).
#pragma once

#include <QFont>
#include <QRect>

// "ＭＳ Ｐゴシック" 9 pt here: IPA P Gothic (or the system's CJK font).
QFont dialogFont();
// "ＭＳ ゴシック": the fixed-pitch Gothic face.
QFont fixedGothicFont(int pointSize = 9);

struct DialogUnits {
    explicit DialogUnits(const QFont& font);
    int x(int units) const { return units * cx / 4; }
    int y(int units) const { return units * cy / 8; }
    QRect rect(int left, int top, int width, int height) const {
        return QRect(x(left), y(top), x(width), y(height));
    }
    int cx;
    int cy;
};
