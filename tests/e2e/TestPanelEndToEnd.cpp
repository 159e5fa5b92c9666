// The real panel, the real serial link and the module simulator on a pty, end to end.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTest>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "ControllerDlg.h"
#include "E2eSupport.h"
#include "SerialLink.h"

using e2e::WaitUntil;

namespace {

constexpr int kCom = 201;  // outside the fixed tty table: only our folder can name it
const QString kPortName = "COM201";

class PanelEndToEnd : public ::testing::Test {
protected:
    // The simulator as a child process; its stdin is a pipe, so it ends with the test.
    bool StartModule(const QStringList& extra) {
        QObject::connect(&m_module, &QProcess::readyReadStandardOutput,
                         [this] { m_log += m_module.readAllStandardOutput(); });
        m_module.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_module.start(VARNEL_MODULE_PATH,
                       QStringList{"--com", QString::number(kCom), "--log", "--channel", "45",
                                   "--power", "12.34", "--output", "on"} +
                           extra);
        return WaitUntil([this] { return m_log.contains("varnel-module: COM201 -> "); });
    }
    void TearDown() override {
        m_module.closeWriteChannel();
        m_module.waitForFinished(e2e::kGenerousMs);
    }
    // A frame the module received, by its meaning in the wire log ("set channel 50").
    bool Received(const QString& meaning) const {
        return QString::fromLocal8Bit(m_log).contains(
            QRegularExpression(" rx .*  " + meaning + "\n"));
    }
    void StartAndOpen(const QStringList& extra) {
        ASSERT_TRUE(StartModule(extra));
        m_dialog = std::make_unique<CControllerDlg>(m_state, m_link);
        m_dialog->show();
        m_dialog->activateWindow();
        ASSERT_TRUE(WaitUntil([this] { return m_dialog->isActiveWindow(); }));
        OpenOurPort();
        ASSERT_TRUE(WaitSynced("ON"));
    }
    template <typename W = QWidget>
    W* Get(int id) const {
        return qobject_cast<W*>(m_dialog->Control(id));
    }
    QString Text(int id) const {
        QWidget* control = Get(id);
        return control->property(qobject_cast<QSlider*>(control) ? "value" : "text").toString();
    }
    void Click(int id) { Get<QPushButton>(id)->click(); }
    void TypeEnter(int id, const QString& keys) {
        auto* field = Get<QLineEdit>(id);
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, keys);
        QTest::keyClick(field, Qt::Key_Return);
    }
    void OpenOurPort() {
        auto* ports = Get<QComboBox>(IDC_COMBO_PORTS);
        ASSERT_GE(ports->findText(kPortName), 0);
        ports->setCurrentIndex(ports->findText(kPortName));
        Click(IDC_BTN_OPENPORT);
        ASSERT_EQ(Text(IDC_BTN_OPENPORT), "ClosePort");
    }
    // The output reply ends the synchronisation and is the only source of "ON" / "OFF".
    bool WaitSynced(const QString& output) {
        return WaitUntil([&] { return Text(IDC_BTN_OUTPUT) == output && m_state.synced; });
    }
    // Entry, slider and grid readouts of the channel | power | output caption.
    QString Readouts() const {
        QStringList texts;
        for (int id : {IDC_EDIT_CHANNEL, IDC_SLIDER_CHANNEL, IDC_TXT_FREQUENCY, IDC_TXT_WAVELENGTH,
                       IDC_TXT_ITU, 0, IDC_EDIT_POWER, IDC_SLIDER_POWER, 0, IDC_BTN_OUTPUT}) {
            texts << (id == 0 ? "|" : Text(id));
        }
        return texts.join(' ');
    }
    bool Closed() const {
        return Text(IDC_BTN_OPENPORT) == "OpenPort" && Get<QComboBox>(IDC_COMBO_PORTS)->isEnabled();
    }

    e2e::PortFolderScope m_folder;  // before the panel: its watcher and scan use the folder
    QProcess m_module;
    QByteArray m_log;
    ControllerState m_state;
    CSerialLink m_link;
    std::unique_ptr<CControllerDlg> m_dialog;
};

TEST_F(PanelEndToEnd, OpenSynchroniseDriveEveryControlCloseAndReopen) {
    StartAndOpen({});
    EXPECT_EQ(Readouts(), "45 45 193900 1546.12 C39 | 12.34 1234 | ON");

    // A drag across several positions between two tracking ticks sends only the last one.
    for (int channel : {46, 47, 48, 50}) {
        Get<QSlider>(IDC_SLIDER_CHANNEL)->setValue(channel);
    }
    EXPECT_TRUE(
        WaitUntil([&] { return Readouts() == "50 50 194150 1544.13 H41 | 12.34 1234 | ON"; }));
    EXPECT_TRUE(Received("set channel 50"));
    EXPECT_FALSE(Received("set channel 47"));

    // Each waits for the module's reply: a second frame sent before the link has written the
    // first replaces it.
    TypeEnter(IDC_EDIT_CHANNEL, "12");
    EXPECT_TRUE(WaitUntil([&] { return Readouts().startsWith("12 12 192250 1559.39 H22 |"); }));
    TypeEnter(IDC_EDIT_POWER, "10.5");
    EXPECT_TRUE(WaitUntil([&] { return Readouts().contains("| 10.50 1050 |"); }));
    Click(IDC_BTN_OUTPUT);
    EXPECT_TRUE(WaitUntil([&] { return Readouts().endsWith("| OFF"); }));
    EXPECT_TRUE(Received("set channel 12") && Received("set power 10.50 dBm") &&
                Received("set output off"));
    EXPECT_TRUE(m_dialog->isVisible()) << "Enter closed the panel";

    Click(IDC_BTN_OPENPORT);
    EXPECT_TRUE(Closed());
    EXPECT_EQ(Readouts(), "12 12 192250 1559.39 H22 | 10.50 1050 | OFF");  // kept on close
    OpenOurPort();
    EXPECT_TRUE(WaitSynced("OFF"));
    Click(IDC_BTN_OPENPORT);
    EXPECT_TRUE(Closed());
}

// The entry vanishes and the pty hangs up: the link reports the failed read once, and the
// watcher's change, held back until the box is answered, runs the recovery, whose probe finds
// the port gone.
TEST_F(PanelEndToEnd, UnpluggedModuleReturnsThePanelToClosed) {
    StartAndOpen({"--unplug-after", "4"});
    e2e::Operator answer;
    ASSERT_TRUE(WaitUntil([&] { return Closed(); }));
    EXPECT_LE(answer.Answered(), 1);
    EXPECT_EQ(Get<QComboBox>(IDC_COMBO_PORTS)->findText(kPortName), -1);
    EXPECT_FALSE(m_state.portOpen);
}

// With this seed a stray 01 lands ahead of a channel reply and shifts the framer by one byte
// onto a frame that checks out as "channel 0": it must never reach the readouts, nor tracking
// after them (which would set channel 1 with nobody touching the panel).
TEST_F(PanelEndToEnd, StrayByteNeverForgesAChannel) {
    ASSERT_TRUE(StartModule({"--channel", "4", "--noise", "1", "--seed", "714"}));
    m_dialog = std::make_unique<CControllerDlg>(m_state, m_link);
    m_dialog->show();
    OpenOurPort();
    ASSERT_TRUE(WaitSynced("ON"));
    EXPECT_TRUE(Readouts().startsWith("4 4 191850 ")) << Readouts().toStdString();
    EXPECT_EQ(m_state.currentChannel, 4);  // so tracking has nothing to send
}

// The module dies without removing its entry: the port is still listed, but its device is
// gone. OpenPort says so in one box and leaves the panel closed.
TEST_F(PanelEndToEnd, FailedOpenSaysWhyInOneBox) {
    ASSERT_TRUE(StartModule({}));
    m_dialog = std::make_unique<CControllerDlg>(m_state, m_link);
    m_dialog->show();
    auto* ports = Get<QComboBox>(IDC_COMBO_PORTS);
    ASSERT_GE(ports->findText(kPortName), 0);
    ports->setCurrentIndex(ports->findText(kPortName));
    m_module.kill();
    ASSERT_TRUE(m_module.waitForFinished(e2e::kGenerousMs));
    QString seen;
    e2e::Operator answer([&](QMessageBox* box) { seen = box->windowTitle() + "|" + box->text(); });
    Click(IDC_BTN_OPENPORT);
    EXPECT_EQ(answer.Answered(), 1);
    EXPECT_TRUE(seen.startsWith("Varnel|COM201 ")) << seen.toStdString();
    EXPECT_TRUE(Closed());
}

// A screen reader presses ClosePort while the unplug's report box is up. The close would wait
// for the monitor thread, which waits for the box: the press must be refused, never hang. A
// watchdog ends the process if it hangs all the same.
TEST_F(PanelEndToEnd, ClosePortPressedDuringAReportBoxNeverHangs) {
    StartAndOpen({"--unplug-after", "1"});
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
        QAccessibleInterface* button = QAccessible::queryAccessibleInterface(Get(IDC_BTN_OPENPORT));
        ASSERT_NE(button, nullptr);
        ASSERT_NE(button->actionInterface(), nullptr);
        button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        Click(IDC_BTN_OPENPORT);
        ++pressed;
    });
    EXPECT_TRUE(WaitUntil([&] { return Closed(); }));
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
