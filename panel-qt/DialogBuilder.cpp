#include "DialogBuilder.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "NumberEdit.h"
#include "QtText.h"
#include "TickSlider.h"

namespace varnel {
namespace {

// Names a screen reader speaks for controls whose own text says little ("《", a bare field);
// taken from the labels beside them. Readouts, OpenPort and ON/OFF keep their text as name.
QString AccessibleNameOf(int id) {
    switch (id) {
        case IDC_COMBO_PORTS:
            return QStringLiteral("PortList");
        case IDC_EDIT_CHANNEL:
            return QStringLiteral("Channel (1 - 89)");
        case IDC_EDIT_POWER:
            return QStringLiteral("Power (7 - 13) dBm");
        case IDC_SLIDER_CHANNEL:
            return QStringLiteral("Channel");
        case IDC_SLIDER_POWER:
            return QStringLiteral("Power");
        case IDC_BTN_CH_DOWN:
            return QStringLiteral("Channel down");
        case IDC_BTN_CH_UP:
            return QStringLiteral("Channel up");
        case IDC_BTN_POWER_DOWN:
            return QStringLiteral("Power down");
        case IDC_BTN_POWER_UP:
            return QStringLiteral("Power up");
        case IDC_BTN_SETCHANNEL:
            return QStringLiteral("SET channel");
        case IDC_BTN_SETPOWER:
            return QStringLiteral("SET power");
        default:
            return {};
    }
}

QString AccessibleDescriptionOf(int id) {
    switch (id) {
        case IDC_TXT_ITU:
            return QStringLiteral("ITLA Channel");
        case IDC_TXT_FREQUENCY:
            return QStringLiteral("Frequency, GHz");
        case IDC_TXT_WAVELENGTH:
            return QStringLiteral("Wavelength, nm");
        case IDC_BTN_OUTPUT:
            return QStringLiteral("Laser output");
        default:
            return {};
    }
}

QWidget* CreateControl(const ControlTemplate& control, QWidget* parent) {
    const QString text = ToQString(control.text);
    switch (control.kind) {
        case ControlClass::Button: {
            auto* button = new QPushButton(text, parent);
            // Enter must never click anything by itself.
            button->setAutoDefault(false);
            button->setDefault(false);
            if (control.text == kStepDownText || control.text == kStepUpText) {
                // The dialog font has no step marks, so they come from a large fallback font;
                // hinting them would have FreeType survey that whole font before the first
                // frame (a few milliseconds) for two glyphs that look the same unhinted.
                QFont font = button->font();
                font.setHintingPreference(QFont::PreferNoHinting);
                button->setFont(font);
            }
            return button;
        }
        case ControlClass::Edit:
            return new CNumberEdit(parent);
        case ControlClass::Static: {
            auto* label = new QLabel(text, parent);
            label->setContentsMargins(0, 0, 0, 0);
            // Readouts show what the module reports: never interpret it as markup.
            label->setTextFormat(Qt::PlainText);
            if (control.style == StyleGroup::Readout) {
                label->setFrameStyle(QFrame::Box | QFrame::Plain);
                label->setLineWidth(1);
                label->setAlignment(Qt::AlignCenter);
            } else {
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                label->setWordWrap(true);
            }
            return label;
        }
        case ControlClass::ComboBox:
            // A plain QComboBox keeps items where they are inserted: list positions index the
            // port table, so the list must never sort.
            return new QComboBox(parent);
        case ControlClass::Trackbar:
            return new CTickSlider(parent);
    }
    return nullptr;
}

}  // namespace

QRect ControlPixelRect(const ControlTemplate& control, const DialogBaseUnits& base,
                       int comboClosedHeight) {
    QRect rect = DluToPixels(control.rect, base);
    if (control.kind == ControlClass::ComboBox) {
        rect.setHeight(comboClosedHeight);
    }
    return rect;
}

BuiltDialog BuildFromTemplate(QDialog& dialog, const DialogTemplate& dialogTemplate,
                              const std::array<ControlTemplate, kControlCount>& controls) {
    dialog.setWindowTitle(ToQString(dialogTemplate.caption));
    dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    const QFont font = DialogFont(dialogTemplate);
    dialog.setFont(font);

    BuiltDialog built;
    built.base = MeasureBaseUnits(font);
    dialog.setFixedSize(MulDiv(dialogTemplate.width, built.base.charWidth, 4),
                        MulDiv(dialogTemplate.height, built.base.charHeight, 8));

    built.controls.reserve(controls.size());
    for (const ControlTemplate& control : controls) {
        QWidget* widget = CreateControl(control, &dialog);
        widget->setObjectName(ToQString(control.name));
        if (const QString name = AccessibleNameOf(control.id); !name.isEmpty()) {
            widget->setAccessibleName(name);
        }
        if (const QString description = AccessibleDescriptionOf(control.id);
            !description.isEmpty()) {
            widget->setAccessibleDescription(description);
        }
        int comboHeight = 0;
        if (auto* combo = qobject_cast<QComboBox*>(widget)) {
            comboHeight = combo->sizeHint().height();
            const QRect dropped = DluToPixels(control.rect, built.base);
            const int itemHeight = QFontMetrics(font).height() + 2;
            combo->setMaxVisibleItems(std::max(1, (dropped.height() - comboHeight) / itemHeight));
        }
        widget->setGeometry(ControlPixelRect(control, built.base, comboHeight));
        built.controls.push_back(widget);
    }
    return built;
}

}  // namespace varnel
