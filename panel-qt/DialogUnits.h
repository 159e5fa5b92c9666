// Dialog units to pixels: one horizontal unit is a quarter of the dialog font's average
// character width, one vertical unit an eighth of its character height.
#pragma once

#include <QFont>
#include <QRect>

#include "DialogTemplate.h"

namespace varnel {

/// The dialog font's base units in pixels.
struct DialogBaseUnits {
    int charWidth = 0;   ///< average width of the 52 letters a-z and A-Z, rounded
    int charHeight = 0;  ///< ascent plus descent
};

/// Measures `font` the way dialogs do: the advance of "A..Za..z" without kerning, halved
/// twice with rounding ((sum / 26 + 1) / 2), and the height without external leading.
DialogBaseUnits MeasureBaseUnits(const QFont& font);

/// a * b / c rounded to the nearest integer, halves away from zero.
int MulDiv(int a, int b, int c);

/// Converts each of x, y, width and height separately, as a dialog lays out its template.
QRect DluToPixels(const DluRect& dlu, const DialogBaseUnits& base);

/// The dialog font of `dialog`: family and point size from the template, normal weight.
QFont DialogFont(const DialogTemplate& dialog);

}  // namespace varnel
