// The real panel, the real serial link and the module simulator on a pty, end to end: the
// scenario the Win32 panel runs too, through the Qt adapter, and the cases only Qt can drive.
#include <gtest/gtest.h>

#include <signal.h>

#include <QAccessible>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QTest>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "ControllerDlg.h"
#include "PanelDriver.h"
#include "PanelScenario.h"
#include "PortFolder.h"
#include "Process.h"
#include "QtWait.h"
#include "SerialLink.h"

using testkit::QtWaitUntil;

namespace {

constexpr int kCom = 201;  // outside the fixed tty table: only our folder can name it
const std::vector<std::string> kModule = {"--log", "--channel", "45", "--power",
                                          "12.34", "--output",  "on"};

class PanelEndToEnd : public ::testing::Test, public scenario::Panel {
protected:
    bool StartModule(testkit::Process& module, std::vector<std::string> extra) {
        extra.insert(extra.begin(), kModule.begin(), kModule.end());
        return testkit::StartModule(module, VARNEL_MODULE_PATH, kCom, extra);
    }
    void StartAndOpen(const std::vector<std::string>& extra) {
        ASSERT_TRUE(StartModule(m_module, extra));
        ASSERT_TRUE(m_panel.Show(testkit::kGenerousMs));
        ASSERT_TRUE(OpenOurPort());
        ASSERT_TRUE(QtWaitUntil([&] { return Text("IDC_BTN_OUTPUT") == "ON" && m_state.synced; }));
    }
    int ListedAt() const {
        return qobject_cast<QComboBox*>(m_panel.Control("IDC_COMBO_PORTS"))
            ->findText(QString::fromStdString(OurPort()));
    }

    // The scenario's adapter.
    std::string OurPort() const override { return "COM" + std::to_string(kCom); }
    std::string Text(const std::string& control) override {
        return m_panel.Text(control.c_str()).toStdString();
    }
    std::vector<std::string> Ports() override {
        auto* list = qobject_cast<QComboBox*>(m_panel.Control("IDC_COMBO_PORTS"));
        std::vector<std::string> ports;
        for (int i = 0; i < list->count(); ++i) {
            ports.push_back(list->itemText(i).toStdString());
        }
        return ports;
    }
    bool Closed() override { return m_panel.IsClosed(); }
    bool Visible() override { return m_dialog.isVisible(); }
    bool OpenOurPort() override { return m_panel.OpenCom(kCom, testkit::kGenerousMs); }
    void Slide(const std::string& control, const std::vector<int>& positions) override {
        for (int position : positions) {
            m_panel.MoveSlider(control.c_str(), position);
        }
    }
    bool SlideIsAtomic() const override { return true; }
    void Type(const std::string& field, const std::string& chars) override {
        auto* edit = qobject_cast<QLineEdit*>(m_panel.Control(field.c_str()));
        edit->setFocus(Qt::OtherFocusReason);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, QString::fromStdString(chars));
    }
    void Key(const std::string& control, bool escape) override {
        QTest::keyClick(m_panel.Control(control.c_str()), escape ? Qt::Key_Escape : Qt::Key_Return);
    }
    void Click(const std::string& button) override { m_panel.Click(button.c_str()); }
    void Hold(const std::string& button, bool down) override {
        (void)(down ? m_panel.PressThroughWindow(button.c_str()) : m_panel.ReleaseThroughWindow());
    }
    bool AnswerReport() override {
        const bool answered = m_answer->Answered() > m_reports;
        m_reports = m_answer->Answered();
        return answered;
    }
    void DeviceChange() override {}  // the device watcher sees the port folder change
    bool Module(scenario::ModuleEvent event) override {
        switch (event) {
            case scenario::ModuleEvent::Freeze:
                m_module.Signal(SIGSTOP);
                return true;
            case scenario::ModuleEvent::Thaw:
                m_module.Signal(SIGCONT);
                return true;
            case scenario::ModuleEvent::Unplug:
                m_module.Signal(SIGTERM);
                return true;
            case scenario::ModuleEvent::Replug:
                return StartModule(m_second, {"--stream", "30"});
        }
        return false;
    }
    std::string WireLog(int module) override {
        return (module == 1 ? m_module : m_second).Output();
    }
    // The tour ends as the panel program does (window closed, then the global link torn down
    // at exit), with the port open while a module streams as fast as it can.
    bool ExitWithPortOpen(std::string& detail) override {
        m_panel.ClosePort();
        m_second.Stop();
        testkit::Process flood;
        testkit::Process tour;
        if (!testkit::StartModule(flood, VARNEL_MODULE_PATH, kCom, {"--stream", "max"})) {
            return false;
        }
        const int code =
            tour.Start(VARNEL_TOUR_PATH, {"--com", std::to_string(kCom), "--exit-while-open"},
                       {.mergeErrors = true})
                ? tour.Wait(3 * testkit::kGenerousMs)
                : -1;
        detail = tour.Output();
        return code == 0 && detail.find("close the window with the port open") != std::string::npos;
    }
    void Idle(int ms) override { QCoreApplication::processEvents(QEventLoop::AllEvents, ms); }
    void Check(bool passed, const std::string& what, const std::string& detail) override {
        EXPECT_TRUE(passed) << what << ": " << detail;
    }

    testkit::PortFolder m_folder;  // before the panel: its watcher and scan use the folder
    testkit::Process m_module;
    testkit::Process m_second;
    ControllerState m_state;
    CSerialLink m_link;
    CControllerDlg m_dialog{m_state, m_link};
    PanelDriver m_panel{m_dialog, m_state};
    std::optional<testkit::Operator> m_answer;
    int m_reports = 0;
};

TEST_F(PanelEndToEnd, TheScenarioBothPanelsRun) {
    // A hang (the press during the report box) ends the process instead of the run's timeout.
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!done.wait_for(lock, std::chrono::minutes(5), [&] { return finished; })) {
            std::fprintf(stderr, "hung in the scenario\n");
            std::_Exit(1);
        }
    });
    // A screen reader presses ClosePort while a report box is up. The close would wait for the
    // monitor thread, which waits for the box: the press must be refused, never hang.
    m_answer.emplace([this](QMessageBox*) {
        QAccessibleInterface* button =
            QAccessible::queryAccessibleInterface(m_panel.Control("IDC_BTN_OPENPORT"));
        if (button != nullptr && button->actionInterface() != nullptr) {
            button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        }
        m_panel.Click("IDC_BTN_OPENPORT");
    });
    ASSERT_TRUE(StartModule(m_module, {}));
    ASSERT_TRUE(m_panel.Show(testkit::kGenerousMs));
    scenario::Run(*this);
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    done.notify_one();
    watchdog.join();
}

// With this seed a stray 01 lands ahead of a channel reply and shifts the framer by one byte
// onto a frame that checks out as "channel 0": it must never reach the readouts, nor tracking
// after them (which would set channel 1 with nobody touching the panel).
TEST_F(PanelEndToEnd, StrayByteNeverForgesAChannel) {
    StartAndOpen({"--channel", "4", "--noise", "1", "--seed", "714"});
    EXPECT_TRUE(scenario::Readouts(*this).starts_with("4 4 191850 ")) << scenario::Readouts(*this);
    EXPECT_EQ(m_state.currentChannel, 4);  // so tracking has nothing to send
}

// The module dies without removing its entry: the port is still listed, but its device is
// gone. OpenPort says so in one box and leaves the panel closed.
TEST_F(PanelEndToEnd, FailedOpenSaysWhyInOneBox) {
    ASSERT_TRUE(StartModule(m_module, {}));
    ASSERT_TRUE(m_panel.Show(testkit::kGenerousMs));
    ASSERT_TRUE(QtWaitUntil([&] { return ListedAt() >= 0; }));
    qobject_cast<QComboBox*>(m_panel.Control("IDC_COMBO_PORTS"))->setCurrentIndex(ListedAt());
    m_module.Signal(SIGKILL);
    m_module.Wait(testkit::kGenerousMs);
    QString seen;
    testkit::Operator answer(
        [&](QMessageBox* box) { seen = box->windowTitle() + "|" + box->text(); });
    m_panel.Click("IDC_BTN_OPENPORT");
    EXPECT_EQ(answer.Answered(), 1);
    EXPECT_TRUE(seen.startsWith("Varnel|COM201 ")) << seen.toStdString();
    EXPECT_TRUE(seen.contains("cannot be opened")) << seen.toStdString();
    EXPECT_TRUE(m_panel.IsClosed());
}

}  // namespace
