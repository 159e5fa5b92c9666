// CSerialLink on real pseudo-terminals: the test holds the master end (the module) and the
// link opens the slave through a COMn entry of a port folder of the test's own.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LineSettings.h"
#include "LinkTestSupport.h"
#include "SerialLink.h"

namespace {

using namespace linktest;
using Bytes = std::vector<std::uint8_t>;

const Bytes kSetChannel46 = {0x00, 0x01, 0x01, 0x00, 0x2E, 0x30};
const Bytes kReplyChannel46 = {0x01, 0x01, 0x01, 0x00, 0x2E, 0x31};
const Bytes kQueryChannel = {0x01, 0x00, 0x01, 0x00, 0x00, 0x02};
const Bytes kQueryPower = {0x01, 0x00, 0x02, 0x00, 0x00, 0x03};

constexpr std::size_t kStallingSize = std::size_t{256} * 1024;  // far more than a pty holds unread

double ProcessCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

Note RxChar(std::uint8_t byte, int port = 201) {
    return {WM_LINK_RXCHAR, byte, port};
}

class LinkOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok());
        link.SetErrorReporter(&reporter);
    }

    /// Opens as the panel does, with the mask, buffer and write timeout a test
    /// needs. Timeout arguments are in the panel's units: 1 is 1000 ms.
    int OpenPanel(std::uint32_t eventMask = EV_RXCHAR, std::uint32_t bufferSize = 512,
                  std::uint32_t writeConstant = 1000) {
        return link.Open(&owner, pty.Com(), 9600, 'N', 8, 0, eventMask, bufferSize, 1000, 1000,
                         1000, 0, writeConstant);
    }

    /// Starts the monitor and waits until it runs its loop: once a frame sent through it has
    /// reached the far end, its start-up purge is behind it and input is no longer discarded.
    void StartAndSync() {
        ASSERT_EQ(link.StartMonitor(), 1);
        ASSERT_EQ(link.Send(kQueryChannel.data(), 6), 1);
        ASSERT_EQ(pty.Read(6), kQueryChannel);
    }

    int Send(const Bytes& bytes) { return link.Send(bytes.data(), static_cast<int>(bytes.size())); }

    // Declared so that the link goes first: its destructor still finds owner and reporter.
    PtyPort pty;
    TestReporter reporter;
    TestOwner owner{link};
    CSerialLink link;
};

// --- Opening ---

TEST_F(LinkOnPty, OpenSwitchesTheLineToRaw9600EightNOne) {
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u) << "a fresh pty is cooked, so raw mode shows";

    ASSERT_EQ(OpenPanel(), 1);

    // TCGETS on the master reads the slave's settings: what the link applied.
    termios applied{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &applied), 0);
    EXPECT_EQ(::cfgetispeed(&applied), static_cast<speed_t>(B9600));
    EXPECT_EQ(::cfgetospeed(&applied), static_cast<speed_t>(B9600));
    EXPECT_EQ(applied.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(applied.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(applied.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(applied.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | BRKINT), 0u);
    EXPECT_EQ(applied.c_oflag & OPOST, 0u);
    EXPECT_EQ(applied.c_cc[VMIN], 1);
    EXPECT_EQ(applied.c_cc[VTIME], 0);
    EXPECT_EQ(reporter.Count(), 0u) << "a pty has no RTS line; ENOTTY is not a failure";
}

TEST_F(LinkOnPty, OpenOfAComNumberWithNoDeviceReturnsZeroWithoutReport) {
    std::error_code error;
    std::filesystem::create_symlink("/nonexistent/varnel-tty", pty.EntryPath(203), error);
    ASSERT_FALSE(error);
    const auto open = [&](int com) {
        return link.Open(&owner, com, 9600, 'N', 8, 0, EV_RXCHAR, 512, 1000, 1000, 1000, 1000,
                         1000);
    };
    EXPECT_EQ(open(203), 0) << "dangling COM203 entry";
    EXPECT_EQ(open(202), 0) << "no entry and no fixed-table device";
    EXPECT_EQ(reporter.Count(), 0u);
    EXPECT_EQ(link.Send(kSetChannel46.data(), 6), 1) << "the send buffer exists all the same";
}

TEST_F(LinkOnPty, ConfigurationFailureIsReportedOnceAndOpenStillReturnsOne) {
    // 12345 baud has no termios constant: SetCommState's role fails, with EINVAL.
    ASSERT_EQ(link.Open(&owner, pty.Com(), 12345, 'N', 8, 0, EV_RXCHAR, 512, 1000, 1000, 1000, 1000,
                        1000),
              1);
    ASSERT_EQ(reporter.Count(), 1u);
    EXPECT_EQ(reporter.Texts()[0],
              "WARNING:  SetCommState() Failed with the following error: \n"
              "Invalid argument\n\nPort: 201\n");
    termios left{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &left), 0);
    EXPECT_NE(left.c_lflag & ICANON, 0u) << "nothing was applied";
    ASSERT_NO_FATAL_FAILURE(StartAndSync()) << "the port is open all the same";
}

TEST_F(LinkOnPty, ANonTerminalEntryIsReportedAsTheSettingsRead) {
    const std::string plainFile = pty.EntryPath(204) + ".file";
    { std::ofstream(plainFile) << "not a tty"; }
    std::error_code error;
    std::filesystem::create_symlink(plainFile, pty.EntryPath(204), error);
    ASSERT_FALSE(error);
    ASSERT_EQ(link.Open(&owner, 204, 9600, 'N', 8, 0, EV_RXCHAR, 512, 1000, 1000, 1000, 1000, 1000),
              1);
    ASSERT_EQ(reporter.Count(), 1u);
    EXPECT_EQ(reporter.Texts()[0],
              "WARNING:  GetCommState() Failed with the following error: \n"
              "Inappropriate ioctl for device\n\nPort: 204\n");
    link.Close();
}

TEST_F(LinkOnPty, CloseFromInsideAnOpenReportDoesNotDeadlock) {
    // A report box runs a modal loop on the owner's thread; a device change handled there may
    // close the link while Open is still on the stack.
    struct ClosingReporter : IErrorReporter {
        explicit ClosingReporter(CSerialLink& l) : link(l) {}
        void ShowReport(const std::string&, const std::string&) override {
            ++shown;
            link.Close();
        }
        CSerialLink& link;
        int shown = 0;
    } closing(link);
    link.SetErrorReporter(&closing);
    EXPECT_EQ(link.Open(&owner, pty.Com(), 12345, 'N', 8, 0, EV_RXCHAR, 512, 1000, 1000, 1000, 1000,
                        1000),
              1);
    EXPECT_EQ(closing.shown, 1);
    link.SetErrorReporter(&reporter);
    EXPECT_EQ(OpenPanel(), 1) << "the nested Close released the port";
}

TEST_F(LinkOnPty, SecondOpenOfAHeldPortReturnsZeroWithoutReport) {
    ASSERT_EQ(OpenPanel(), 1);

    TestReporter otherReporter;
    CSerialLink other;
    TestOwner otherOwner(other);
    other.SetErrorReporter(&otherReporter);
    const auto openOther = [&] {
        return other.Open(&otherOwner, pty.Com(), 9600, 'N', 8, 0, EV_RXCHAR, 512, 1000, 1000, 1000,
                          1000, 1000);
    };
    EXPECT_EQ(openOther(), 0);
    EXPECT_EQ(otherReporter.Count(), 0u);
    EXPECT_EQ(reporter.Count(), 0u);

    link.Close();
    EXPECT_EQ(openOther(), 1) << "Close releases the port";
    other.Close();
}

TEST_F(LinkOnPty, OpenWithoutCloseStopsTheMonitorAndReplacesThePort) {
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    ASSERT_TRUE(pty.Write({0x07}));
    ASSERT_TRUE(owner.WaitForWake()) << "0x07 is parked, the monitor blocked delivering it";

    // The old descriptor still holds the port's lock: reopening works only if it is closed
    // first, and only if Open gets the blocked monitor to end.
    ASSERT_EQ(OpenPanel(), 1);
    EXPECT_EQ(owner.notes, std::vector<Note>{RxChar(0x07)}) << "the parked byte was handed over";

    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    ASSERT_TRUE(pty.Write({0x08}));
    ASSERT_TRUE(owner.Pump());
    EXPECT_EQ(owner.notes.back(), RxChar(0x08));
    EXPECT_EQ(reporter.Count(), 0u);
}

TEST_F(LinkOnPty, StartMonitorWhileOneRunsIsRefused) {
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    EXPECT_EQ(link.StartMonitor(), 0);
}

// --- Receiving ---

TEST_F(LinkOnPty, ReceivedBytesComeOneDeliveryEachInOrderAfterThePreviousWasHandled) {
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());

    // While byte k is handled, the bytes after it must still sit unread in the port.
    std::vector<int> unreadWhileHandling;
    owner.onMessage = [&](const Note&) { unreadWhileHandling.push_back(pty.SlaveQueued()); };
    ASSERT_TRUE(pty.Write(kReplyChannel46));
    for (std::size_t k = 0; k < kReplyChannel46.size(); ++k) {
        ASSERT_TRUE(owner.Pump()) << "delivery " << k;
    }

    std::vector<Note> expected;
    for (std::uint8_t byte : kReplyChannel46) {
        expected.push_back(RxChar(byte));
    }
    EXPECT_EQ(owner.notes, expected);
    EXPECT_EQ(unreadWhileHandling, (std::vector<int>{5, 4, 3, 2, 1, 0}));
    EXPECT_FALSE(owner.WaitForWake(200ms)) << "one delivery per byte, no more";
}

TEST_F(LinkOnPty, EveryByteValuePassesUnchangedBothWays) {
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    Bytes all(256);
    for (int value = 0; value < 256; ++value) {
        all[static_cast<std::size_t>(value)] = static_cast<std::uint8_t>(value);
    }

    ASSERT_TRUE(pty.Write(all));
    for (int value = 0; value < 256; ++value) {
        ASSERT_TRUE(owner.Pump()) << "byte " << value;
    }
    ASSERT_EQ(owner.notes.size(), 256u);
    for (int value = 0; value < 256; ++value) {
        EXPECT_EQ(owner.notes[static_cast<std::size_t>(value)],
                  RxChar(static_cast<std::uint8_t>(value)));
    }

    ASSERT_EQ(Send(all), 1);
    EXPECT_EQ(pty.Read(512, 500ms), all) << "no CR/LF translation, no XON/XOFF, no echo";
}

TEST_F(LinkOnPty, ReplyAndFrameCrossInBothDirections) {
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    // Both wait at once: the monitor reads (and delivers) the input before it writes.
    ASSERT_EQ(Send(kSetChannel46), 1);
    ASSERT_TRUE(pty.Write(kReplyChannel46));
    for (std::size_t k = 0; k < kReplyChannel46.size(); ++k) {
        ASSERT_TRUE(owner.Pump());
    }
    EXPECT_EQ(pty.Read(12, 500ms), kSetChannel46);
    ASSERT_EQ(owner.notes.size(), 6u);
    EXPECT_EQ(owner.notes.back(), RxChar(0x31));
}

// --- Closing ---

TEST_F(LinkOnPty, CloseWhileADeliveryIsBlockedHandlesThatByteAndReadsNoMore) {
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    ASSERT_TRUE(pty.Write({'A', 'B', 'C'}));
    ASSERT_TRUE(owner.WaitForWake()) << "'A' is parked; nobody dispatches it";

    link.Close();

    EXPECT_EQ(owner.notes, std::vector<Note>{RxChar('A')});
    EXPECT_EQ(pty.SlaveQueued(), 2) << "'B' and 'C' were never read";
    EXPECT_GE(owner.serviceCalls, 1);
    EXPECT_EQ(reporter.Count(), 0u);
    EXPECT_EQ(OpenPanel(), 1) << "the port was closed and its lock released";
}

TEST_F(LinkOnPty, CloseFromInsideAHandlerEndsTheMonitor) {
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    owner.onMessage = [&](const Note&) { link.Close(); };
    ASSERT_TRUE(pty.Write({'A', 'B'}));
    ASSERT_TRUE(owner.Pump());

    EXPECT_EQ(owner.notes, std::vector<Note>{RxChar('A')});
    EXPECT_EQ(pty.SlaveQueued(), 1);
    owner.onMessage = nullptr;
    EXPECT_EQ(OpenPanel(), 1);
}

TEST_F(LinkOnPty, CloseRightAfterStartMonitorNeverLeavesTheThreadBehind) {
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(OpenPanel(), 1) << "round " << round;
        ASSERT_EQ(link.StartMonitor(), 1);
        link.Close();
    }
    EXPECT_EQ(reporter.Count(), 0u);
}

TEST_F(LinkOnPty, CloseAfterOpenWithoutMonitorClosesThePort) {
    ASSERT_EQ(OpenPanel(), 1);
    link.Close();
    EXPECT_EQ(OpenPanel(), 1);
}

// --- Sending ---

TEST_F(LinkOnPty, PurgeBeforeAWriteDiscardsUnreadInput) {
    // Without EV_RXCHAR the monitor leaves input unread, so it is still queued at the write
    // (with it, pending input is always read before a write).
    ASSERT_EQ(OpenPanel(0), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    ASSERT_TRUE(pty.Write({1, 2, 3}));
    ASSERT_TRUE(pty.WaitSlaveQueued(3));

    ASSERT_EQ(Send(kSetChannel46), 1);
    EXPECT_EQ(pty.Read(6), kSetChannel46);
    EXPECT_EQ(pty.SlaveQueued(), 0);
    EXPECT_FALSE(owner.WaitForWake(100ms));
}

TEST_F(LinkOnPty, TwoSendsBeforeTheWriteSendOnlyTheSecondOnce) {
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_EQ(Send(kQueryChannel), 1);
    ASSERT_EQ(Send(kQueryPower), 1);
    ASSERT_EQ(link.StartMonitor(), 1);
    EXPECT_EQ(pty.Read(12, 500ms), kQueryPower);
}

TEST_F(LinkOnPty, TwoSendsWhileTheMonitorIsBusySendOnlyTheSecondOnce) {
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    ASSERT_TRUE(pty.Write({0x55}));
    ASSERT_TRUE(owner.WaitForWake()) << "the monitor is blocked in a delivery";
    ASSERT_EQ(Send(kQueryChannel), 1);
    ASSERT_EQ(Send(kQueryPower), 1);
    link.DispatchPending();
    EXPECT_EQ(pty.Read(12, 500ms), kQueryPower);
}

TEST_F(LinkOnPty, SendOutsideTheBufferIsRefusedAndChangesNothing) {
    ASSERT_EQ(OpenPanel(EV_RXCHAR, 6), 1);
    ASSERT_EQ(Send(kSetChannel46), 1);
    const Bytes seven(7, 0xEE);
    EXPECT_EQ(link.Send(seven.data(), 7), 0);
    EXPECT_EQ(link.Send(seven.data(), -1), 0);
    EXPECT_EQ(link.Send(nullptr, 3), 0);
    ASSERT_EQ(link.StartMonitor(), 1);
    EXPECT_EQ(pty.Read(12, 500ms), kSetChannel46) << "the slot still holds the last good frame";
}

TEST_F(LinkOnPty, SendDuringAStalledWriteNeverTearsTheFrame) {
    ASSERT_EQ(OpenPanel(EV_RXCHAR, kStallingSize, 30), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    const Bytes first(kStallingSize, 'A');
    const Bytes second(kStallingSize, 'B');

    ASSERT_EQ(Send(first), 1);
    // Read part of it; the rest cannot fit the pty, so the write stalls while the test sends.
    Bytes wire = pty.Read(std::size_t{32} * 1024);
    ASSERT_GE(wire.size(), 32u * 1024u);
    ASSERT_EQ(Send(second), 1);
    const Bytes rest = pty.Read(2 * kStallingSize, 1s);
    wire.insert(wire.end(), rest.begin(), rest.end());

    // The second write's purge may drop the unread tail of the first, nothing else.
    const auto firstB = std::find(wire.begin(), wire.end(), 'B');
    EXPECT_TRUE(std::all_of(wire.begin(), firstB, [](std::uint8_t b) { return b == 'A'; }));
    EXPECT_TRUE(std::all_of(firstB, wire.end(), [](std::uint8_t b) { return b == 'B'; }))
        << "an 'A' after a 'B'";
    EXPECT_EQ(static_cast<std::size_t>(wire.end() - firstB), kStallingSize)
        << "'B's beyond the second frame came from a torn first frame";
}

TEST_F(LinkOnPty, WriteTimeoutBoundsAStalledWrite) {
    ASSERT_EQ(OpenPanel(EV_RXCHAR, kStallingSize, 1), 1);  // 1000 ms for the whole write
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(Send(Bytes(kStallingSize, 'A')), 1);  // the far end reads none of it
    pollfd arrived{pty.Master(), POLLIN, 0};
    ASSERT_EQ(::poll(&arrived, 1, 5000), 1) << "the write has begun";
    // Input waiting now is read only once the write is over (pending input goes first, so
    // it must arrive after the write began).
    ASSERT_TRUE(pty.Write({0x5A}));

    ASSERT_TRUE(owner.Pump(20s)) << "the monitor never came back from the write";
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 500ms) << "the write did not wait";
    EXPECT_EQ(owner.notes, std::vector<Note>{RxChar(0x5A)});
    EXPECT_EQ(reporter.Count(), 0u) << "a timed-out write is not a failure";
}

TEST_F(LinkOnPty, CloseDuringAStalledWriteReturnsAtOnce) {
    ASSERT_EQ(OpenPanel(EV_RXCHAR, kStallingSize, 1000), 1);  // 1,000,000 ms
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    ASSERT_EQ(Send(Bytes(kStallingSize, 'A')), 1);
    pollfd arrived{pty.Master(), POLLIN, 0};
    ASSERT_EQ(::poll(&arrived, 1, 5000), 1) << "the write has begun";

    const auto start = std::chrono::steady_clock::now();
    link.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(reporter.Count(), 0u);
}

// --- A vanished device, reports ---

TEST_F(LinkOnPty, HangUpIsReportedOnceAndThenCostsNoCpu) {
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    pty.CloseMaster();
    ASSERT_TRUE(reporter.WaitForCount(1));

    // A monitor looping on the hung-up descriptor would burn about 2 s of CPU here.
    const double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(2s);
    EXPECT_LT(ProcessCpuSeconds() - before, 0.5);

    // Writing to the vanished port shows no second box either.
    ASSERT_EQ(Send(kSetChannel46), 1);
    std::this_thread::sleep_for(300ms);
    link.Close();

    ASSERT_EQ(reporter.Count(), 1u);
    EXPECT_EQ(reporter.Captions()[0], "Application Error");
    EXPECT_EQ(reporter.Texts()[0],
              "WARNING:  ReadFile() Failed with the following error: \n"
              "Input/output error\n\nPort: 201\n");
    EXPECT_TRUE(owner.notes.empty()) << "a failed read delivers nothing";
    EXPECT_FALSE(owner.WaitForWake(0ms));
}

TEST_F(LinkOnPty, HangUpWithoutInputWatchedIsReportedOnceAsTheWait) {
    ASSERT_EQ(OpenPanel(0), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    pty.CloseMaster();
    ASSERT_TRUE(reporter.WaitForCount(1));
    const double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(ProcessCpuSeconds() - before, 0.5);
    link.Close();
    ASSERT_EQ(reporter.Count(), 1u);
    EXPECT_EQ(reporter.Texts()[0].rfind("WARNING:  WaitCommEvent() Failed", 0), 0u) << reporter.Texts()[0];
}

TEST_F(LinkOnPty, CloseWhileTheMonitorWaitsOnAReportServicesWithoutSpinning) {
    reporter.Hold();  // the box stays up until the owner's thread "shows" it for a second
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    pty.CloseMaster();
    ASSERT_TRUE(reporter.WaitForCount(1)) << "the monitor now sits in its report";

    const auto start = std::chrono::steady_clock::now();
    owner.onService = [&] {
        if (std::chrono::steady_clock::now() - start > 1s) {
            reporter.Release();
        }
    };
    const double before = ProcessCpuSeconds();
    link.Close();
    EXPECT_LT(ProcessCpuSeconds() - before, 0.5);
    EXPECT_GE(owner.serviceCalls, 2);
    EXPECT_LT(owner.serviceCalls, 1000) << "Close must sleep between rounds";
    EXPECT_EQ(reporter.Count(), 1u);
}

// --- Owner and destructor ---

TEST_F(LinkOnPty, DetachOwnerDropsTheParkedAndEveryLaterNotification) {
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    ASSERT_TRUE(pty.Write({'A', 'B', 'C'}));
    ASSERT_TRUE(owner.WaitForWake());

    link.DetachOwner();
    link.DispatchPending();
    // Released, the monitor reads on and drops the rest.
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (pty.SlaveQueued() != 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(pty.SlaveQueued(), 0);
    link.Close();
    EXPECT_TRUE(owner.notes.empty());
    EXPECT_EQ(owner.serviceCalls, 0) << "a detached owner is not called while closing either";
}

TEST_F(LinkOnPty, DestructorStopsARunningMonitorWithoutDelivering) {
    auto doomed = std::make_unique<CSerialLink>();
    TestOwner doomedOwner(*doomed);
    doomed->SetErrorReporter(&reporter);
    ASSERT_EQ(doomed->Open(&doomedOwner, pty.Com(), 9600, 'N', 8, 0, EV_RXCHAR, 512, 1000, 1000,
                           1000, 1000, 1000),
              1);
    ASSERT_EQ(doomed->StartMonitor(), 1);
    ASSERT_EQ(doomed->Send(kQueryChannel.data(), 6), 1);
    ASSERT_EQ(pty.Read(6), kQueryChannel);
    ASSERT_TRUE(pty.Write({'A', 'B'}));
    ASSERT_TRUE(doomedOwner.WaitForWake()) << "the monitor is blocked delivering 'A'";

    doomed.reset();

    EXPECT_TRUE(doomedOwner.notes.empty());
    EXPECT_EQ(doomedOwner.serviceCalls, 0);
    EXPECT_EQ(reporter.Count(), 0u);
    EXPECT_EQ(OpenPanel(), 1) << "the destructor closed the port";
}

TEST_F(LinkOnPty, DestructorAfterTheOwnerHasGoneTouchesNothingOfIt) {
    // Program exit: the window (which detaches itself, as LinkBridge does) goes first, the
    // static link with its running monitor afterwards. ASan catches any call into the owner.
    struct DetachingOwner : TestOwner {
        explicit DetachingOwner(CSerialLink& l) : TestOwner(l), link(l) {}
        ~DetachingOwner() override { link.DetachOwner(); }
        CSerialLink& link;
    };
    auto doomed = std::make_unique<CSerialLink>();
    auto window = std::make_unique<DetachingOwner>(*doomed);
    ASSERT_EQ(doomed->Open(window.get(), pty.Com(), 9600, 'N', 8, 0, EV_RXCHAR, 512, 1000, 1000,
                           1000, 1000, 1000),
              1);
    ASSERT_EQ(doomed->StartMonitor(), 1);
    ASSERT_EQ(doomed->Send(kQueryChannel.data(), 6), 1);
    ASSERT_EQ(pty.Read(6), kQueryChannel);
    ASSERT_TRUE(pty.Write({'A', 'B', 'C'}));
    ASSERT_TRUE(window->WaitForWake());

    window.reset();
    ASSERT_TRUE(pty.Write({'D'}));
    doomed.reset();
    SUCCEED();
}

}  // namespace
