#include "DialogUnits.h"

#include <QFontMetrics>
#include <QString>
#include <cstdlib>

namespace varnel {

DialogBaseUnits MeasureBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // Per-letter advances, summed: the platform's extent of this string ignores kerning.
    int sum = 0;
    for (char c = 'A'; c <= 'Z'; ++c) {
        sum += metrics.horizontalAdvance(QLatin1Char(c));
    }
    for (char c = 'a'; c <= 'z'; ++c) {
        sum += metrics.horizontalAdvance(QLatin1Char(c));
    }
    return {(sum / 26 + 1) / 2, metrics.ascent() + metrics.descent()};
}

int MulDiv(int a, int b, int c) {
    if (c == 0) {
        return -1;
    }
    const long long product = static_cast<long long>(a) * b;
    const long long half = std::llabs(static_cast<long long>(c)) / 2;
    const bool negative = (product < 0) != (c < 0);
    const long long magnitude =
        (std::llabs(product) + half) / std::llabs(static_cast<long long>(c));
    return static_cast<int>(negative ? -magnitude : magnitude);
}

QRect DluToPixels(const DluRect& dlu, const DialogBaseUnits& base) {
    return {MulDiv(dlu.x, base.charWidth, 4), MulDiv(dlu.y, base.charHeight, 8),
            MulDiv(dlu.width, base.charWidth, 4), MulDiv(dlu.height, base.charHeight, 8)};
}

QFont DialogFont(const DialogTemplate& dialog) {
    QFont font(
        QString::fromUtf8(dialog.fontFace.data(), static_cast<qsizetype>(dialog.fontFace.size())));
    font.setPointSize(dialog.fontPointSize);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    return font;
}

}  // namespace varnel
