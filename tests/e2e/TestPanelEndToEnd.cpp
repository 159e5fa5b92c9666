// The real panel, the real serial link and the module simulator on a pty, end to end.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QComboBox>
#include <QDialog>
#include <QProcess>
#include <QRegularExpression>
#include <QSlider>
#include <QTest>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "ChildProcess.h"
#include "ControllerDlg.h"
#include "E2eSupport.h"
#include "PanelDriver.h"
#include "SerialLink.h"

using e2e::WaitUntil;

namespace {

constexpr int kCom = 201;  // outside the fixed tty table: only our folder can name it

class PanelEndToEnd : public ::testing::Test {
protected:
    // The simulator as a child process; its stdin is a pipe, so it ends with the test.
    bool StartModule(const QStringList& extra) {
        return testkit::StartModule(
            m_module, VARNEL_MODULE_PATH, kCom,
            QStringList{"--log", "--channel", "45", "--power", "12.34", "--output", "on"} + extra);
    }
    // A frame the module received, by its meaning in the wire log ("set channel 50").
    bool Received(const QString& meaning) const {
        return QString::fromLocal8Bit(m_module.Output())
            .contains(QRegularExpression(" rx .*  " + meaning + "\n"));
    }
    void StartAndOpen(const QStringList& extra) {
        ASSERT_TRUE(StartModule(extra));
        ASSERT_TRUE(m_panel.Show(e2e::kGenerousMs));
        ASSERT_TRUE(m_panel.OpenCom(kCom, e2e::kGenerousMs));
        ASSERT_TRUE(WaitSynced("ON"));
    }
    // The output reply ends the synchronisation and is the only source of "ON" / "OFF".
    bool WaitSynced(const QString& output) {
        return WaitUntil(
            [&] { return m_panel.Text("IDC_BTN_OUTPUT") == output && m_state.synced; });
    }
    // Entry, slider and grid readouts of the channel | power | output caption.
    QString Readouts() const {
        QStringList texts;
        for (const char* name :
             {"IDC_EDIT_CHANNEL", "IDC_SLIDER_CHANNEL", "IDC_TXT_FREQUENCY", "IDC_TXT_WAVELENGTH",
              "IDC_TXT_ITU", "|", "IDC_EDIT_POWER", "IDC_SLIDER_POWER", "|", "IDC_BTN_OUTPUT"}) {
            texts << (name[0] == '|' ? QString("|") : m_panel.Text(name));
        }
        return texts.join(' ');
    }
    int ListedAt() const {
        return qobject_cast<QComboBox*>(m_panel.Control("IDC_COMBO_PORTS"))
            ->findText(QStringLiteral("COM%1").arg(kCom));
    }

    e2e::PortFolderScope m_folder;  // before the panel: its watcher and scan use the folder
    testkit::ChildProcess m_module;
    ControllerState m_state;
    CSerialLink m_link;
    CControllerDlg m_dialog{m_state, m_link};
    PanelDriver m_panel{m_dialog, m_state};
};

TEST_F(PanelEndToEnd, OpenSynchroniseDriveEveryControlCloseAndReopen) {
    StartAndOpen({});
    EXPECT_EQ(Readouts(), "45 45 193900 1546.12 C39 | 12.34 1234 | ON");

    // A drag across several positions between two tracking ticks sends only the last one.
    for (int channel : {46, 47, 48, 50}) {
        m_panel.MoveSlider("IDC_SLIDER_CHANNEL", channel);
    }
    EXPECT_TRUE(
        WaitUntil([&] { return Readouts() == "50 50 194150 1544.13 H41 | 12.34 1234 | ON"; }));
    EXPECT_TRUE(Received("set channel 50"));
    EXPECT_FALSE(Received("set channel 47"));

    // Each waits for the module's reply: a second frame sent before the link has written the
    // first replaces it.
    m_panel.TypeAndEnter("IDC_EDIT_CHANNEL", "12");
    EXPECT_TRUE(WaitUntil([&] { return Readouts().startsWith("12 12 192250 1559.39 H22 |"); }));
    m_panel.TypeAndEnter("IDC_EDIT_POWER", "10.5");
    EXPECT_TRUE(WaitUntil([&] { return Readouts().contains("| 10.50 1050 |"); }));
    m_panel.Click("IDC_BTN_OUTPUT");
    EXPECT_TRUE(WaitUntil([&] { return Readouts().endsWith("| OFF"); }));
    EXPECT_TRUE(Received("set channel 12") && Received("set power 10.50 dBm") &&
                Received("set output off"));
    EXPECT_TRUE(m_dialog.isVisible()) << "Enter closed the panel";

    m_panel.ClosePort();
    EXPECT_TRUE(m_panel.IsClosed());
    EXPECT_EQ(Readouts(), "12 12 192250 1559.39 H22 | 10.50 1050 | OFF");  // kept on close
    ASSERT_TRUE(m_panel.OpenCom(kCom, e2e::kGenerousMs));
    EXPECT_TRUE(WaitSynced("OFF"));
    m_panel.ClosePort();
    EXPECT_TRUE(m_panel.IsClosed());
}

// The entry vanishes and the pty hangs up: the link reports the failed read once, and the
// watcher's change, held back until the box is answered, runs the recovery, whose probe finds
// the port gone.
TEST_F(PanelEndToEnd, UnpluggedModuleReturnsThePanelToClosed) {
    StartAndOpen({"--unplug-after", "4"});
    e2e::Operator answer;
    ASSERT_TRUE(WaitUntil([&] { return m_panel.IsClosed(); }));
    EXPECT_LE(answer.Answered(), 1);
    EXPECT_EQ(ListedAt(), -1);
    EXPECT_FALSE(m_state.portOpen);
}

// With this seed a stray 01 lands ahead of a channel reply and shifts the framer by one byte
// onto a frame that checks out as "channel 0": it must never reach the readouts, nor tracking
// after them (which would set channel 1 with nobody touching the panel).
TEST_F(PanelEndToEnd, StrayByteNeverForgesAChannel) {
    StartAndOpen({"--channel", "4", "--noise", "1", "--seed", "714"});
    EXPECT_TRUE(Readouts().startsWith("4 4 191850 ")) << Readouts().toStdString();
    EXPECT_EQ(m_state.currentChannel, 4);  // so tracking has nothing to send
}

// The module dies without removing its entry: the port is still listed, but its device is
// gone. OpenPort says so in one box and leaves the panel closed.
TEST_F(PanelEndToEnd, FailedOpenSaysWhyInOneBox) {
    ASSERT_TRUE(StartModule({}));
    ASSERT_TRUE(m_panel.Show(e2e::kGenerousMs));
    ASSERT_TRUE(WaitUntil([&] { return ListedAt() >= 0; }));
    qobject_cast<QComboBox*>(m_panel.Control("IDC_COMBO_PORTS"))->setCurrentIndex(ListedAt());
    m_module.Kill();
    QString seen;
    e2e::Operator answer([&](QMessageBox* box) { seen = box->windowTitle() + "|" + box->text(); });
    m_panel.Click("IDC_BTN_OPENPORT");
    EXPECT_EQ(answer.Answered(), 1);
    EXPECT_TRUE(seen.startsWith("Varnel|COM201 ")) << seen.toStdString();
    EXPECT_TRUE(seen.contains("cannot be opened")) << seen.toStdString();
    EXPECT_TRUE(m_panel.IsClosed());
}

// A screen reader presses ClosePort while the unplug's report box is up. The close would wait
// for the monitor thread, which waits for the box: the press must be refused, never hang. A
// watchdog ends the process if it hangs all the same.
TEST_F(PanelEndToEnd, ClosePortPressedDuringAReportBoxNeverHangs) {
    StartAndOpen({"--unplug-after", "3"});
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!done.wait_for(lock, std::chrono::milliseconds(3 * e2e::kGenerousMs),
                           [&] { return finished; })) {
            std::fprintf(stderr, "hung: ClosePort pressed during a report box\n");
            std::_Exit(1);
        }
    });
    int pressed = 0;
    e2e::Operator answer([&](QMessageBox*) {
        QAccessibleInterface* button =
            QAccessible::queryAccessibleInterface(m_panel.Control("IDC_BTN_OPENPORT"));
        ASSERT_NE(button, nullptr);
        ASSERT_NE(button->actionInterface(), nullptr);
        button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        m_panel.Click("IDC_BTN_OPENPORT");
        ++pressed;
    });
    EXPECT_TRUE(WaitUntil([&] { return m_panel.IsClosed(); }));
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    done.notify_one();
    watchdog.join();
    EXPECT_EQ(pressed, 1);
    EXPECT_EQ(answer.Answered(), 1);
    EXPECT_FALSE(m_state.portOpen);
}

// The tour ends as the panel program does (window closed, then the global link torn down at
// exit) with the port open while the module streams: the process must end by itself, cleanly.
TEST_F(PanelEndToEnd, ProgramExitWithThePortOpenWhileBytesArrive) {
    ASSERT_TRUE(StartModule({"--stream", "max"}));
    QProcess tour;
    tour.setProcessChannelMode(QProcess::MergedChannels);
    tour.start(VARNEL_TOUR_PATH, {"--com", QString::number(kCom), "--exit-while-open"});
    ASSERT_TRUE(tour.waitForFinished(3 * e2e::kGenerousMs));
    const std::string output = tour.readAll().toStdString();
    EXPECT_EQ(tour.exitStatus(), QProcess::NormalExit) << output;
    EXPECT_EQ(tour.exitCode(), 0) << output;
    EXPECT_NE(output.find("close the window with the port open"), std::string::npos) << output;
}

}  // namespace
