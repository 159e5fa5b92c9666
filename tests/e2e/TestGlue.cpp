// The Qt glue against the real serial link on a pty and a real event loop.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "DeviceWatcher.h"
#include "E2eSupport.h"
#include "LinkBridge.h"
#include "LinkMessages.h"
#include "MessageBoxReporter.h"
#include "SerialLink.h"

using e2e::Operator;
using e2e::PublishedPty;
using e2e::SpinUntil;
using e2e::WaitUntil;

namespace {

constexpr int kCom = 7;

int OpenPanelStyle(CSerialLink& link, ILinkOwner* owner) {
    return link.Open(owner, kCom, 9600, 'N', 8, 0, EV_RXCHAR, 512, 1000, 1000, 1000, 1000, 1000);
}

// Counts the monitor thread's wake-ups, so a test can tell that a delivery is parked.
class CountingBridge : public LinkBridge {
public:
    using LinkBridge::LinkBridge;
    void WakeOwner() override {
        ++m_wakes;
        LinkBridge::WakeOwner();
    }
    std::atomic<int> m_wakes{0};
};

struct Received {
    std::string bytes;
    bool allOnGuiThread = true;
    void Add(unsigned message, std::uint32_t wParam) {
        allOnGuiThread = allOnGuiThread && QThread::currentThread() == qApp->thread();
        if (message == WM_LINK_RXCHAR) {
            bytes += char(wParam & 0xFF);
        }
    }
};

class LinkHandOff : public ::testing::Test {
protected:
    e2e::PortFolderScope m_folder;
    PublishedPty m_pty{kCom};
    CSerialLink m_link;
    Received m_got;
    std::unique_ptr<CountingBridge> m_bridge = std::make_unique<CountingBridge>(
        m_link, [this](unsigned m, std::uint32_t w, std::int32_t) { m_got.Add(m, w); });

    // Opens and starts the monitor, then waits until it delivers: its start purges the port,
    // so only bytes written after a first delivery are sure to arrive.
    void OpenAndMonitor() {
        ASSERT_TRUE(m_pty.Ok());
        ASSERT_NE(OpenPanelStyle(m_link, m_bridge.get()), 0);
        ASSERT_NE(m_link.StartMonitor(), 0);
        ASSERT_TRUE(WaitUntil([this] {
            m_pty.Write("?");
            return WaitUntil([this] { return !m_got.bytes.empty(); }, 100);
        }));
        ASSERT_TRUE(m_pty.Write("!"));  // every earlier probe arrives before this one
        ASSERT_TRUE(WaitUntil([this] { return m_got.bytes.back() == '!'; }));
        m_got.bytes.clear();
        m_wakesBefore = m_bridge->m_wakes.load();
    }
    bool DeliveryParked() {
        return SpinUntil([this] { return m_bridge->m_wakes.load() > m_wakesBefore; });
    }

    int m_wakesBefore = 0;
};

TEST_F(LinkHandOff, DeliversEveryByteInOrderOnTheGuiThread) {
    OpenAndMonitor();
    const std::string sent = std::string("\x01\x01\x01\x00\x2D\x30", 6) + "\xFF\r\n\x03 tail";
    ASSERT_TRUE(m_pty.Write(sent));
    EXPECT_TRUE(WaitUntil([&] { return m_got.bytes.size() >= sent.size(); }));
    EXPECT_EQ(m_got.bytes, sent);  // raw: no CR/LF translation, no echo, nothing lost
    EXPECT_TRUE(m_got.allOnGuiThread);
    m_link.Close();
}

TEST_F(LinkHandOff, CloseWithADeliveryParkedHandlesItAndReadsNoMore) {
    OpenAndMonitor();
    ASSERT_TRUE(m_pty.Write("ABC"));
    // No events processed: the monitor thread parks the first byte and waits for us.
    ASSERT_TRUE(DeliveryParked());
    m_link.Close();
    EXPECT_EQ(m_got.bytes, "A");
    EXPECT_TRUE(m_got.allOnGuiThread);
}

// The window goes away while the port is open and bytes keep arriving: nothing may reach it,
// and the link still stops.
TEST_F(LinkHandOff, NoDeliveryReachesADestroyedOwner) {
    OpenAndMonitor();
    ASSERT_TRUE(m_pty.Write("XYZ"));
    ASSERT_TRUE(DeliveryParked());
    m_bridge.reset();  // with a delivery parked and its wake-up queued
    m_got.bytes.clear();
    ASSERT_TRUE(m_pty.Write("more bytes after the owner left"));
    WaitUntil([] { return false; }, 200);  // let any stray queued call run
    m_link.Close();
    EXPECT_EQ(m_got.bytes, "");
}

TEST(MessageBoxReporterTest, WorkerBlocksUntilTheBoxIsDismissed) {
    MessageBoxReporter reporter;
    std::atomic<bool> returned{false};
    bool blockedWhileShown = false;
    QString caption, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Operator answer([&](QMessageBox* box) {
        caption = box->windowTitle();
        text = box->text();
        icon = box->icon();
        blockedWhileShown = !returned.load();
    });
    std::thread worker([&] {
        reporter.ShowReport("Application Error", "WARNING:  ReadFile() Failed\n");
        returned = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(answer.Answered(), 1);
    EXPECT_TRUE(blockedWhileShown);
    EXPECT_EQ(caption, "Application Error");
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_TRUE(text.startsWith("WARNING:  ReadFile() Failed"));
}

// A report raised while the GUI thread spins in a link's close: the close's servicing runs
// the box, so neither thread waits for the other for ever.
TEST(MessageBoxReporterTest, BoxRequestedDuringACloseIsShownFromInsideIt) {
    CSerialLink link;
    LinkBridge bridge(link, {});
    MessageBoxReporter reporter;
    bool insideClose = false;
    Operator answer([&](QMessageBox*) { insideClose = LinkBridge::InsideClose(); });
    std::atomic<bool> returned{false};
    std::thread monitor([&] {
        reporter.ShowReport("Application Error", "WARNING:  WriteFile() Failed\n");
        returned = true;
    });
    EXPECT_TRUE(SpinUntil([&] {
        bridge.ServiceWhileClosing();
        return returned.load();
    }));
    monitor.join();
    EXPECT_EQ(answer.Answered(), 1);
    EXPECT_TRUE(insideClose);
}

class DeviceWatcherTest : public ::testing::Test {
protected:
    e2e::PortFolderScope m_folder;
    QString Folder() const { return QString::fromStdString(m_folder.Path().string()); }
    void Link(const char* name) {
        std::filesystem::create_symlink("/dev/null", m_folder.Path() / name);
    }
};

TEST_F(DeviceWatcherTest, OneNotificationPerBatch) {
    DeviceWatcher watcher({Folder()});
    ASSERT_TRUE(watcher.IsWatching());
    QSignalSpy spy(&watcher, &DeviceWatcher::deviceChanged);

    Link("COM3");
    Link("COM4");  // both queued before the loop runs: one batch
    ASSERT_TRUE(WaitUntil([&] { return spy.count() >= 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(spy.count(), 1);

    std::filesystem::remove(m_folder.Path() / "COM3");
    std::filesystem::remove(m_folder.Path() / "COM4");
    ASSERT_TRUE(WaitUntil([&] { return spy.count() >= 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(spy.count(), 2);
}

TEST_F(DeviceWatcherTest, CreatesAMissingFolder) {
    const auto missing = m_folder.Path() / "not" / "yet";
    DeviceWatcher watcher({QString::fromStdString(missing.string())});
    EXPECT_TRUE(watcher.IsWatching());
    EXPECT_TRUE(std::filesystem::is_directory(missing));
}

// The recovery a change starts closes the link; inside a close that would nest.
TEST_F(DeviceWatcherTest, ABatchInsideACloseWaitsUntilTheCloseReturns) {
    CSerialLink link;
    LinkBridge bridge(link, {});
    DeviceWatcher watcher({Folder()});
    QSignalSpy spy(&watcher, &DeviceWatcher::deviceChanged);

    Link("COM5");
    for (int i = 0; i < 50; ++i) {
        bridge.ServiceWhileClosing();
    }
    EXPECT_EQ(spy.count(), 0);
    EXPECT_TRUE(watcher.IsHoldingBack());
    EXPECT_TRUE(WaitUntil([&] { return spy.count() == 1; }));
    EXPECT_FALSE(watcher.IsHoldingBack());
}

}  // namespace
