// Builds the panel's widgets from the dialog template.
#pragma once

#include <QDialog>
#include <vector>

#include "DialogTemplate.h"
#include "DialogUnits.h"

namespace varnel {

/// What the builder made: the font's base units and the widgets in template order.
struct BuiltDialog {
    DialogBaseUnits base;            ///< pixels per four horizontal / eight vertical units
    std::vector<QWidget*> controls;  ///< one widget per template entry, same order
};

/// Gives `dialog` the template's caption, font, fixed size and title-bar buttons (close box,
/// no minimise or maximise), then creates its controls in template order, which is also the
/// Tab order. Each widget's object name is its id name.
BuiltDialog BuildFromTemplate(QDialog& dialog, const DialogTemplate& dialogTemplate,
                              const std::array<ControlTemplate, kControlCount>& controls);

/// Pixel rectangle of a control: its dialog units converted, except the port list, whose
/// template height is that of its dropped-down list, so it keeps its own closed height.
QRect ControlPixelRect(const ControlTemplate& control, const DialogBaseUnits& base,
                       int comboClosedHeight);

}  // namespace varnel
