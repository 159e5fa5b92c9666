// The dialog template and its layout in pixels.
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <cmath>
#include <set>

#include <gtest/gtest.h>

#include "ControllerDlg.h"
#include "DialogTemplate.h"
#include "DialogUnits.h"
#include "SerialLink.h"
#include "TickSlider.h"

namespace {

using varnel::ControlClass;
using varnel::kControllerControls;
using varnel::kControllerDialog;

int Round(double value) {
    return static_cast<int>(std::lround(value));
}

TEST(DialogTemplate, OneUniqueIdPerDialogMember) {
    std::set<int> ids;
    for (const auto& control : kControllerControls) {
        if (control.id != IDC_STATIC) {
            EXPECT_TRUE(ids.insert(control.id).second) << control.name;
        }
    }
    EXPECT_EQ(ids.size(), 16u);
}

class Layout : public testing::Test {
protected:
    ControllerState m_state;
    CSerialLink m_link;
    CControllerDlg m_dialog{m_state, m_link};
};

TEST_F(Layout, DialogFontAndSizeComeFromTheTemplate) {
    const QFont font = m_dialog.font();
    EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("Caladea"));
    const QFontMetrics metrics(font);
    const varnel::DialogBaseUnits& base = m_dialog.BaseUnits();
    EXPECT_EQ(base.charHeight, metrics.ascent() + metrics.descent());
    // The average letter width, rounded, from the whole alphabet's advance.
    int sum = 0;
    for (QChar c : QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) {
        sum += metrics.horizontalAdvance(c);
    }
    EXPECT_EQ(base.charWidth, Round(sum / 52.0));

    EXPECT_EQ(m_dialog.size(),
              QSize(Round(285 * base.charWidth / 4.0), Round(144 * base.charHeight / 8.0)));
    EXPECT_EQ(m_dialog.minimumSize(), m_dialog.maximumSize());
    EXPECT_EQ(m_dialog.windowTitle(), QStringLiteral("Varnel"));
    EXPECT_EQ(m_dialog.windowIcon().availableSizes(),
              (QList<QSize>{QSize(16, 16), QSize(32, 32), QSize(48, 48)}));
    const Qt::WindowFlags flags = m_dialog.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
}

TEST_F(Layout, EveryControlSitsAtItsDialogUnitsInTemplateOrder) {
    const varnel::DialogBaseUnits& base = m_dialog.BaseUnits();
    const auto& controls = m_dialog.Controls();
    ASSERT_EQ(controls.size(), kControllerControls.size());
    QWidget* previousFocusable = nullptr;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const auto& control = kControllerControls[i];
        QWidget* widget = controls[i];
        SCOPED_TRACE(std::string(control.name) + " #" + std::to_string(i + 1));
        EXPECT_EQ(widget->objectName().toStdString(), control.name);
        const QRect r = widget->geometry();
        EXPECT_EQ(r.x(), Round(control.rect.x * base.charWidth / 4.0));
        EXPECT_EQ(r.y(), Round(control.rect.y * base.charHeight / 8.0));
        EXPECT_EQ(r.width(), Round(control.rect.width * base.charWidth / 4.0));
        if (control.kind != ControlClass::ComboBox) {
            EXPECT_EQ(r.height(), Round(control.rect.height * base.charHeight / 8.0));
        }
        EXPECT_TRUE(m_dialog.rect().contains(r));
        // Tab order follows the template.
        if (widget->focusPolicy() & Qt::TabFocus) {
            if (previousFocusable != nullptr) {
                QWidget* next = previousFocusable->nextInFocusChain();
                while (!(next->focusPolicy() & Qt::TabFocus)) {
                    next = next->nextInFocusChain();
                }
                EXPECT_EQ(next, widget);
            }
            previousFocusable = widget;
        }
    }
}

TEST_F(Layout, NoTwoControlsOverlap) {
    const auto& controls = m_dialog.Controls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        for (std::size_t j = i + 1; j < controls.size(); ++j) {
            EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
                << kControllerControls[i].name << " #" << i + 1 << " and "
                << kControllerControls[j].name << " #" << j + 1;
        }
    }
}

TEST_F(Layout, ControlsHaveTheirKindsLook) {
    for (QPushButton* button : m_dialog.findChildren<QPushButton*>()) {
        EXPECT_FALSE(button->autoDefault() || button->isDefault());
        EXPECT_FALSE(button->accessibleName().isEmpty() && button->text().size() < 2);
    }
    for (int id : {IDC_TXT_ITU, IDC_TXT_FREQUENCY, IDC_TXT_WAVELENGTH}) {
        auto* readout = qobject_cast<QLabel*>(m_dialog.Control(id));
        ASSERT_NE(readout, nullptr);
        EXPECT_EQ(readout->frameShape(), QFrame::Box);
        EXPECT_EQ(readout->alignment(), Qt::AlignCenter);
        EXPECT_EQ(readout->textFormat(), Qt::PlainText);
    }
    EXPECT_EQ(qobject_cast<QPushButton*>(m_dialog.Control(IDC_BTN_CH_DOWN))->text(),
              QStringLiteral(u"\u300A"));
    EXPECT_EQ(qobject_cast<QPushButton*>(m_dialog.Control(IDC_BTN_POWER_UP))->text(),
              QStringLiteral(u"\u300B"));
}

TEST_F(Layout, SlidersPaintTicksAtTheChosenPositionsAndBothEnds) {
    auto* slider = qobject_cast<CTickSlider*>(m_dialog.Control(IDC_SLIDER_CHANNEL));
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(slider->minimum(), 1);
    EXPECT_EQ(slider->maximum(), 89);
    EXPECT_EQ(slider->Ticks(), (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80}));
    auto* power = qobject_cast<CTickSlider*>(m_dialog.Control(IDC_SLIDER_POWER));
    EXPECT_EQ(power->minimum(), 700);
    EXPECT_EQ(power->maximum(), 1300);

    const QImage image = slider->grab().toImage();
    const QColor ink = slider->palette().color(QPalette::WindowText);
    auto inkedBelowGroove = [&](int x) {
        for (int y = image.height() / 2; y < image.height(); ++y) {
            if (image.pixelColor(x, y) == ink) {
                return true;
            }
        }
        return false;
    };
    for (int value : {1, 10, 50, 89}) {
        EXPECT_TRUE(inkedBelowGroove(slider->TickX(value))) << "no tick at " << value;
    }
    EXPECT_FALSE(inkedBelowGroove(slider->TickX(15))) << "tick between the chosen positions";
}

}  // namespace
