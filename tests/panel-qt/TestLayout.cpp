// The dialog template and its layout in pixels.
#include <QComboBox>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "ControllerDlg.h"
#include "DialogTemplate.h"
#include "DialogUnits.h"
#include "SerialLink.h"
#include "TickSlider.h"

namespace {

using varnel::ControlClass;
using varnel::kControllerControls;

TEST(DialogTemplate, OneUniqueIdPerDialogMember) {
    std::set<int> ids;
    for (const auto& control : kControllerControls) {
        if (control.id != IDC_STATIC) {
            EXPECT_TRUE(ids.insert(control.id).second) << control.name;
        }
    }
    EXPECT_EQ(ids.size(), 16u);
    EXPECT_EQ(kControllerControls.size(), std::size_t(varnel::kControlCount));
}

// Dialog units round to the nearest pixel, halves away from zero, each edge on its own.
TEST(DialogUnits, RoundHalvesAwayFromZero) {
    const std::tuple<int, int, int, int> rows[] = {{285, 10, 4, 713}, {1, 10, 4, 3},
                                                   {-1, 10, 4, -3},   {7, 22, 8, 19},
                                                   {3, 22, 8, 8},     {5, 5, 0, -1}};
    for (const auto& [a, b, c, expected] : rows) {
        EXPECT_EQ(varnel::MulDiv(a, b, c), expected) << a << " " << b << " " << c;
    }
    EXPECT_EQ(varnel::DluToPixels({1, 3, 285, 144}, {10, 22}), QRect(3, 8, 713, 396));
}

class Layout : public testing::Test {
protected:
    ControllerState m_state;
    CSerialLink m_link;
    CControllerDlg m_dialog{m_state, m_link};
};

// Caladea 14 pt, measured as dialogs measure their font, gives 10 x 22 pixel base units.
TEST_F(Layout, TheWindowComesFromTheTemplate) {
    EXPECT_EQ(QFontInfo(m_dialog.font()).family(), QStringLiteral("Caladea"));
    EXPECT_EQ(m_dialog.BaseUnits().charWidth, 10);
    EXPECT_EQ(m_dialog.BaseUnits().charHeight, 22);
    EXPECT_EQ(m_dialog.size(), QSize(713, 396));
    EXPECT_EQ(m_dialog.minimumSize(), m_dialog.maximumSize());
    EXPECT_EQ(m_dialog.windowTitle(), QStringLiteral("Varnel"));
    EXPECT_EQ(m_dialog.windowIcon().availableSizes(),
              (QList<QSize>{QSize(16, 16), QSize(32, 32), QSize(48, 48)}));
    const Qt::WindowFlags flags = m_dialog.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
}

// Every control at its place, named by its id, inside the dialog, overlapping none, tabbing in
// template order.
TEST_F(Layout, ControlsInTemplateOrderInsideWithoutOverlap) {
    const auto& controls = m_dialog.Controls();
    ASSERT_EQ(controls.size(), kControllerControls.size());
    QWidget* previousFocusable = nullptr;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const auto& control = kControllerControls[i];
        QWidget* widget = controls[i];
        SCOPED_TRACE(std::string(control.name) + " #" + std::to_string(i + 1));
        EXPECT_EQ(widget->objectName().toStdString(), control.name);
        const QRect r = widget->geometry(),
                    dlu = varnel::DluToPixels(control.rect, m_dialog.BaseUnits());
        EXPECT_EQ(r.topLeft(), dlu.topLeft());
        EXPECT_EQ(r.width(), dlu.width());
        EXPECT_TRUE(control.kind == ControlClass::ComboBox || r.height() == dlu.height());
        EXPECT_TRUE(m_dialog.rect().contains(r));
        for (std::size_t j = i + 1; j < controls.size(); ++j) {
            EXPECT_FALSE(r.intersects(controls[j]->geometry())) << kControllerControls[j].name;
        }
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
