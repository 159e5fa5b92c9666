// The Qt glue against the real serial link on a pty and a real event loop.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QThread>
#include <atomic>
#include <memory>

#include "DeviceWatcher.h"
#include "LinkBridge.h"
#include "LinkMessages.h"
#include "MessageBoxReporter.h"
#include "PortFolder.h"
#include "Pty.h"
#include "QtWait.h"
#include "SerialLink.h"

using testkit::QtWaitUntil;

namespace {

// Counts wake-ups, so a test can tell that a delivery is parked.
class CountingBridge : public LinkBridge {
public:
    using LinkBridge::LinkBridge;
    void WakeOwner() override {
        ++m_wakes;
        LinkBridge::WakeOwner();
    }
    std::atomic<int> m_wakes{0};
};

class LinkHandOff : public ::testing::Test {
protected:
    // The monitor purges the port as it starts: only bytes written after a first delivery
    // are sure to arrive.
    void SetUp() override {
        ASSERT_NE(m_link.Open(m_bridge.get(), 7, 9600, 'N', 8, 0, EV_RXCHAR, 512, 1000, 1000, 1000,
                              1000, 1000),
                  0);
        m_link.StartMonitor();
        ASSERT_TRUE(QtWaitUntil([this] {
            return m_pty.Write("?") && QtWaitUntil([this] { return !m_got.empty(); }, 100);
        }));
        m_pty.Write("!");  // every earlier probe arrives before it
        ASSERT_TRUE(QtWaitUntil([this] { return m_got.back() == '!'; }));
        m_got.clear();
    }
    // Writes `bytes` and waits, processing no events, until their first delivery is parked.
    bool WriteParked(const std::string& bytes) {
        const int before = m_bridge->m_wakes;
        return m_pty.Write(bytes) &&
               QtWaitUntil([&] { return m_bridge->m_wakes > before; }, testkit::kGenerousMs, false);
    }

    testkit::PortFolder m_folder{false};
    testkit::Pty m_pty{7, true};
    CSerialLink m_link;
    std::string m_got;
    bool m_onGuiThread = true;
    std::unique_ptr<CountingBridge> m_bridge = std::make_unique<CountingBridge>(
        m_link, [this](unsigned message, std::uint32_t byte, std::int32_t) {
            m_onGuiThread = m_onGuiThread && QThread::currentThread() == qApp->thread();
            if (message == WM_LINK_RXCHAR) {
                m_got += char(byte);
            }
        });
};

TEST_F(LinkHandOff, DeliversRawInOrderOnTheGuiThreadAndCloseHandlesAParkedOne) {
    const std::string sent("\x01\x01\x01\x00\x2D\x30\xFF\r\n\x03 tail", 12);
    ASSERT_TRUE(m_pty.Write(sent));
    EXPECT_TRUE(QtWaitUntil([&] { return m_got.size() >= sent.size(); }));
    EXPECT_EQ(m_got, sent);
    EXPECT_TRUE(m_onGuiThread);

    m_got.clear();
    ASSERT_TRUE(WriteParked("ABC"));
    m_link.Close();
    EXPECT_EQ(m_got, "A");
}

// The window goes away with the port open while bytes arrive: nothing may reach it.
TEST_F(LinkHandOff, NoDeliveryReachesADestroyedOwner) {
    ASSERT_TRUE(WriteParked("XYZ"));
    m_bridge.reset();  // with a delivery parked and its wake-up queued
    m_pty.Write("more bytes after the owner left");
    QtWaitUntil([] { return false; }, 200);
    m_link.Close();
    EXPECT_EQ(m_got, "");
}

// The box for a monitor thread's report is shown by the GUI thread from inside a link's
// close (which keeps servicing), and the reporting thread waits until it is answered.
TEST(MessageBoxReporterTest, WorkerWaitsForTheBoxShownInsideAClose) {
    CSerialLink link;
    LinkBridge bridge(link, {});
    MessageBoxReporter reporter;
    std::atomic<bool> returned{false};
    testkit::Operator answer([&](QMessageBox* box) {
        EXPECT_EQ(box->windowTitle() + "|" + box->text(),
                  "Application Error|WARNING:  ReadFile() Failed");
        EXPECT_EQ(box->icon(), QMessageBox::Critical);
        EXPECT_FALSE(returned);
        EXPECT_TRUE(LinkBridge::InsideClose());
    });
    std::thread monitor([&] {
        reporter.ShowReport("Application Error", "WARNING:  ReadFile() Failed");
        returned = true;
    });
    EXPECT_TRUE(QtWaitUntil(
        [&] {
            bridge.ServiceWhileClosing();
            return returned.load();
        },
        testkit::kGenerousMs, false));
    monitor.join();
    EXPECT_EQ(answer.Answered(), 1);
}

// The recovery a change starts closes the link, so a batch inside a close waits for its end.
TEST(DeviceWatcherTest, OneNotificationPerBatchHeldUntilACloseEnds) {
    QTemporaryDir folder;
    DeviceWatcher watcher{{folder.path()}};
    QSignalSpy spy{&watcher, &DeviceWatcher::deviceChanged};
    const auto link = [&](const char* name) {
        std::filesystem::create_symlink("/dev/null", folder.filePath(name).toStdString());
    };
    link("COM3");
    link("COM4");  // both queued before the loop runs: one batch
    ASSERT_TRUE(QtWaitUntil([&] { return spy.count() >= 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(spy.count(), 1);

    // Two batches inside one close: two recoveries afterwards, not one.
    CSerialLink serial;
    LinkBridge bridge(serial, {});
    const auto serviceUntil = [&](unsigned held) {
        return QtWaitUntil(
            [&] {
                bridge.ServiceWhileClosing();
                return watcher.HeldBatches() == held;
            },
            testkit::kGenerousMs, false);
    };
    link("COM5");
    ASSERT_TRUE(serviceUntil(1));
    link("COM6");
    ASSERT_TRUE(serviceUntil(2));
    EXPECT_EQ(spy.count(), 1);
    EXPECT_TRUE(QtWaitUntil([&] { return spy.count() == 3; }));
    EXPECT_FALSE(watcher.IsHoldingBack());
}

}  // namespace
