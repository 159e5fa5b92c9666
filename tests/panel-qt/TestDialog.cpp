// The panel window's routing: Enter, Esc, step-button mouse events, the port list.
#include <QComboBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ControllerDlg.h"
#include "NumberEdit.h"
#include "PortFacts.h"
#include "PortFolder.h"
#include "Pty.h"
#include "SerialLink.h"

namespace {

/// The real dialog, with its timer calls recorded and its pause not slept.
class RecordingDlg : public CControllerDlg {
public:
    using CControllerDlg::CControllerDlg;

    void SetTimer(unsigned id, unsigned periodMs) override {
        m_started.push_back(id);
        CControllerDlg::SetTimer(id, periodMs);
    }
    void Sleep(unsigned ms) override { m_slept += ms; }

    std::vector<unsigned> m_started;
    unsigned m_slept = 0;
};

class Dialog : public testing::Test {
protected:
    void SetUp() override {
        m_dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_dialog));
    }
    void TearDown() override {
        // The test never opened a port; leave the shared flags as a closed panel has them.
        m_state.synced = false;
        m_state.portOpen = false;
    }
    // As if the port were open and the module answered: the controller then acts on input.
    void Synchronise() {
        m_state.portOpen = true;
        m_state.synced = true;
        m_dialog.m_started.clear();
    }
    QPoint CentreInWindow(int id) {
        QWidget* widget = m_dialog.Control(id);
        return widget->mapTo(&m_dialog, widget->rect().center());
    }

    ControllerState m_state;
    CSerialLink m_link;
    RecordingDlg m_dialog{m_state, m_link};
};

TEST_F(Dialog, EnterInAnEntryFieldRunsItsSetAndLeavesThePanelOpenAReplyReplacesTyping) {
    Synchronise();
    auto* channel = m_dialog.Control(IDC_EDIT_CHANNEL);
    channel->setFocus();
    QTest::keyClicks(channel, "42");
    QTest::keyClick(channel, Qt::Key_Return);
    EXPECT_EQ(m_state.currentChannel, 42);
    EXPECT_EQ(m_dialog.m_slept, 100u);

    auto* power = m_dialog.Control(IDC_EDIT_POWER);
    power->setFocus();
    QTest::keyClicks(power, "9");
    QTest::keyClick(power, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(m_state.currentPower, 900);
    EXPECT_TRUE(m_dialog.isVisible());
    auto* edit = qobject_cast<QLineEdit*>(channel);
    EXPECT_EQ(edit->text(), QStringLiteral("42"));

    // A reply that arrives while the operator is typing replaces the half-typed text: the
    // field shows what the module says, and Enter sends that.
    channel->setFocus();
    QTest::keyClicks(channel, "4");
    m_dialog.Controller().ApplyChannelReply(12);
    EXPECT_EQ(edit->text(), QStringLiteral("12"));
    QTest::keyClick(channel, Qt::Key_Return);
    EXPECT_EQ(m_state.currentChannel, 12);
}

TEST_F(Dialog, EnterElsewhereAndEscAnywhereDoNothingAndNeverClose) {
    EXPECT_EQ(m_dialog.focusWidget(), m_dialog.Control(IDC_BTN_OPENPORT));  // where focus starts
    Synchronise();
    qobject_cast<QLineEdit*>(m_dialog.Control(IDC_EDIT_CHANNEL))->setText(QStringLiteral("7"));
    QSignalSpy openPortClicks(qobject_cast<QPushButton*>(m_dialog.Control(IDC_BTN_OPENPORT)),
                              &QPushButton::clicked);
    for (int id : {IDC_BTN_OPENPORT, IDC_BTN_OUTPUT, IDC_SLIDER_POWER, IDC_COMBO_PORTS}) {
        QWidget* widget = m_dialog.Control(id);
        widget->setFocus();
        QTest::keyClick(widget, Qt::Key_Return);
        QTest::keyClick(widget, Qt::Key_Escape);
        EXPECT_EQ(m_dialog.m_slept, 0u) << widget->objectName().toStdString();
    }
    QTest::keyClick(m_dialog.Control(IDC_EDIT_CHANNEL), Qt::Key_Escape);
    m_dialog.reject();
    EXPECT_EQ(openPortClicks.count(), 0);
    EXPECT_TRUE(m_dialog.isVisible());

    QSignalSpy finished(&m_dialog, &QDialog::finished);
    m_dialog.close();  // the close box
    EXPECT_FALSE(m_dialog.isVisible());
    EXPECT_EQ(finished.count(), 1);
}

TEST_F(Dialog, StepButtonHoldsFromPressUntilTheRelease) {
    Synchronise();
    QWindow* window = m_dialog.windowHandle();
    QTest::mousePress(window, Qt::LeftButton, {}, CentreInWindow(IDC_BTN_CH_UP));
    EXPECT_EQ(m_dialog.m_started, std::vector<unsigned>{TIMER_CH_UP});

    // Released away from the button, over a label that passes the event on to the dialog:
    // the hold ends exactly once.
    QWidget* label = m_dialog.Controls()[3];  // "PortList:"
    QTest::mouseRelease(window, Qt::LeftButton, {},
                        label->mapTo(&m_dialog, label->rect().center()));
    EXPECT_EQ(m_dialog.m_started, (std::vector<unsigned>{TIMER_CH_UP, TIMER_TRACK}));
    EXPECT_EQ(m_state.holdCount, 0);

    m_dialog.m_started.clear();
    QTest::mousePress(window, Qt::LeftButton, {}, CentreInWindow(IDC_BTN_POWER_DOWN));
    QTest::mouseRelease(window, Qt::LeftButton, {}, CentreInWindow(IDC_BTN_POWER_DOWN));
    EXPECT_EQ(m_dialog.m_started, (std::vector<unsigned>{TIMER_PW_DOWN, TIMER_TRACK}));
    // Pressed again within the double-click interval: a press all the same.
    m_dialog.m_started.clear();
    QTest::mouseDClick(window, Qt::LeftButton, {}, CentreInWindow(IDC_BTN_POWER_DOWN));
    EXPECT_EQ(m_dialog.m_started,
              (std::vector<unsigned>{TIMER_PW_DOWN, TIMER_TRACK, TIMER_PW_DOWN, TIMER_TRACK}));

    // Only a left press on a step button starts a hold: not another button, not the right
    // button, not the space bar.
    m_dialog.m_started.clear();
    QTest::mousePress(window, Qt::LeftButton, {}, CentreInWindow(IDC_BTN_SETPOWER));
    QTest::mouseRelease(window, Qt::LeftButton, {}, CentreInWindow(IDC_BTN_SETPOWER));
    m_dialog.m_started.clear();
    QTest::mousePress(window, Qt::RightButton, {}, CentreInWindow(IDC_BTN_CH_DOWN));
    QTest::mouseRelease(window, Qt::RightButton, {}, CentreInWindow(IDC_BTN_CH_DOWN));
    QTest::keyClick(m_dialog.Control(IDC_BTN_CH_DOWN), Qt::Key_Space);
    EXPECT_TRUE(m_dialog.m_started.empty());
}

// A page is a fifth of the range, by key and by a click on the groove beside the thumb.
TEST_F(Dialog, SlidersPageByAFifthOfTheRange) {
    const struct {
        int id, start, page;
    } sliders[] = {{IDC_SLIDER_CHANNEL, 40, 17}, {IDC_SLIDER_POWER, 1000, 120}};
    for (const auto& row : sliders) {
        auto* slider = qobject_cast<QSlider*>(m_dialog.Control(row.id));
        slider->setValue(row.start);
        slider->setFocus();
        QTest::keyClick(slider, Qt::Key_PageUp);
        EXPECT_EQ(slider->value(), row.start + row.page);
        QTest::keyClick(slider, Qt::Key_PageDown);
        QTest::keyClick(slider, Qt::Key_PageDown);
        EXPECT_EQ(slider->value(), row.start - row.page);

        slider->setValue(slider->minimum());
        QStyleOptionSlider option;
        option.initFrom(slider);
        option.orientation = Qt::Horizontal, option.tickPosition = slider->tickPosition();
        option.minimum = slider->minimum(), option.maximum = slider->maximum();
        option.sliderPosition = option.sliderValue = slider->value();
        const QRect groove = slider->style()->subControlRect(QStyle::CC_Slider, &option,
                                                             QStyle::SC_SliderGroove, slider);
        QTest::mouseClick(slider, Qt::LeftButton, {}, {groove.right() - 2, groove.center().y()});
        EXPECT_EQ(slider->value(), slider->minimum() + row.page);
    }
}

// Both entry fields are number fields (so they filter what is typed and refuse drops), and
// their text offset never grows on repeated resets.
TEST_F(Dialog, EntryFieldsAreNumberFieldsWhoseOffsetNeverGrows) {
    for (int i = 0; i < 3; ++i) {
        m_dialog.Controller().OnInitDialog();
    }
    for (int id : {IDC_EDIT_CHANNEL, IDC_EDIT_POWER}) {
        auto* edit = qobject_cast<CNumberEdit*>(m_dialog.Control(id));
        ASSERT_NE(edit, nullptr) << id;
        EXPECT_EQ(edit->textMargins(), QMargins(0, 4, 0, -4));
    }
}

// The port list shows the ports that are there (here only COM9 and COM10, pseudo-terminals of
// the test's own), in numeric order, each with its device's facts as tooltip, as they are when
// it is shown (not when the list was filled).
TEST(PortList, ShowsExistingPortsInNumericOrder) {
    testkit::PortFolder folder{false};
    const testkit::Pty ten(10), nine(9);
    ASSERT_EQ(ten.Error() + nine.Error(), "");
    ASSERT_TRUE(testkit::HideFixedPorts(folder.Path()));  // the fixed table adds nothing
    ControllerState state;
    CSerialLink link;
    CControllerDlg dialog(state, link);
    auto* combo = qobject_cast<QComboBox*>(dialog.Control(IDC_COMBO_PORTS));
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) {
        items << combo->itemText(i);
        EXPECT_EQ(items.last(), QStringLiteral("COM%1").arg(state.portTable[i]));
        EXPECT_EQ(combo->itemData(i, Qt::ToolTipRole).toString().toStdString(),
                  DescribePortFacts(FactsOfPort(state.portTable[i])));
    }
    EXPECT_EQ(items, QStringList({"COM9", "COM10"}));
    std::filesystem::remove(folder.Entry(9));
    std::filesystem::create_symlink(ten.SlavePath(), folder.Entry(9));
    EXPECT_NE(combo->itemData(0, Qt::ToolTipRole)
                  .toString()
                  .indexOf(QString::fromStdString(ten.SlavePath())),
              -1);
    EXPECT_EQ(state.portCount, 2);
    EXPECT_EQ(combo->currentIndex(), 0);
    EXPECT_TRUE(combo->isEnabled());
}

}  // namespace
