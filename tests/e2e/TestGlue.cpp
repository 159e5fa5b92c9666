// The Qt glue against the real serial link on a pty and a real event loop.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QThread>
#include <atomic>
#include <memory>

#include "DeviceWatcher.h"
#include "E2eSupport.h"
#include "LinkBridge.h"
#include "LinkMessages.h"
#include "MessageBoxReporter.h"
#include "SerialLink.h"

using e2e::WaitUntil;

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
        ASSERT_TRUE(WaitUntil([this] {
            return m_pty.Write("?") && WaitUntil([this] { return !m_got.empty(); }, 100);
        }));
        m_pty.Write("!");  // every earlier probe arrives before it
        ASSERT_TRUE(WaitUntil([this] { return m_got.back() == '!'; }));
        m_got.clear();
        m_wakesBefore = m_bridge->m_wakes;
    }
    bool DeliveryParked() {
        return WaitUntil([this] { return m_bridge->m_wakes > m_wakesBefore; }, e2e::kGenerousMs,
                         false);
    }

    e2e::PortFolderScope m_folder;
    e2e::PublishedPty m_pty{7};
    CSerialLink m_link;
    std::string m_got;
    bool m_onGuiThread = true;
    int m_wakesBefore = 0;
    std::unique_ptr<CountingBridge> m_bridge = std::make_unique<CountingBridge>(
        m_link, [this](unsigned message, std::uint32_t byte, std::int32_t) {
            m_onGuiThread = m_onGuiThread && QThread::currentThread() == qApp->thread();
            if (message == WM_LINK_RXCHAR) {
                m_got += char(byte);
            }
        });
};

TEST_F(LinkHandOff, DeliversEveryByteRawInOrderOnTheGuiThread) {
    const std::string sent("\x01\x01\x01\x00\x2D\x30\xFF\r\n\x03 tail", 12);
    ASSERT_TRUE(m_pty.Write(sent));
    EXPECT_TRUE(WaitUntil([&] { return m_got.size() >= sent.size(); }));
    EXPECT_EQ(m_got, sent);
    EXPECT_TRUE(m_onGuiThread);
    m_link.Close();
}

TEST_F(LinkHandOff, CloseWithADeliveryParkedHandlesItAndReadsNoMore) {
    ASSERT_TRUE(m_pty.Write("ABC"));
    ASSERT_TRUE(DeliveryParked());  // no events processed: 'A' waits for us
    m_link.Close();
    EXPECT_EQ(m_got, "A");
}

// The window goes away with the port open while bytes arrive: nothing may reach it.
TEST_F(LinkHandOff, NoDeliveryReachesADestroyedOwner) {
    ASSERT_TRUE(m_pty.Write("XYZ"));
    ASSERT_TRUE(DeliveryParked());
    m_bridge.reset();  // with a delivery parked and its wake-up queued
    m_pty.Write("more bytes after the owner left");
    WaitUntil([] { return false; }, 200);
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
    QString seen;
    bool waitingWhileShown = false, insideClose = false;
    e2e::Operator answer([&](QMessageBox* box) {
        seen = box->windowTitle() + "|" + box->text() + "|" + QString::number(box->icon());
        waitingWhileShown = !returned;
        insideClose = LinkBridge::InsideClose();
    });
    std::thread monitor([&] {
        reporter.ShowReport("Application Error", "WARNING:  ReadFile() Failed");
        returned = true;
    });
    EXPECT_TRUE(WaitUntil(
        [&] {
            bridge.ServiceWhileClosing();
            return returned.load();
        },
        e2e::kGenerousMs, false));
    monitor.join();
    EXPECT_EQ(answer.Answered(), 1);
    EXPECT_EQ(seen, "Application Error|WARNING:  ReadFile() Failed|" +
                        QString::number(QMessageBox::Critical));
    EXPECT_TRUE(waitingWhileShown);
    EXPECT_TRUE(insideClose);
}

class DeviceWatcherTest : public ::testing::Test {
protected:
    void Link(const char* name) {
        std::filesystem::create_symlink("/dev/null", m_folder.Path() / name);
    }
    e2e::PortFolderScope m_folder;
    DeviceWatcher m_watcher{{QString::fromStdString(m_folder.Path())}};
    QSignalSpy m_spy{&m_watcher, &DeviceWatcher::deviceChanged};
};

TEST_F(DeviceWatcherTest, OneNotificationPerBatch) {
    Link("COM3");
    Link("COM4");  // both queued before the loop runs: one batch
    ASSERT_TRUE(WaitUntil([&] { return m_spy.count() >= 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(m_spy.count(), 1);
    std::filesystem::remove(m_folder.Path() / "COM3");
    std::filesystem::remove(m_folder.Path() / "COM4");
    ASSERT_TRUE(WaitUntil([&] { return m_spy.count() >= 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(m_spy.count(), 2);
}

// The recovery a change starts closes the link: inside a close that would nest.
TEST_F(DeviceWatcherTest, ABatchInsideACloseWaitsUntilTheCloseReturns) {
    CSerialLink link;
    LinkBridge bridge(link, {});
    Link("COM5");
    for (int i = 0; i < 50; ++i) {
        bridge.ServiceWhileClosing();
    }
    EXPECT_EQ(m_spy.count(), 0);
    EXPECT_TRUE(m_watcher.IsHoldingBack());
    EXPECT_TRUE(WaitUntil([&] { return m_spy.count() == 1; }));
}

}  // namespace
