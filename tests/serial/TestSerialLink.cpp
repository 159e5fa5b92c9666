// CSerialLink on real pseudo-terminals: the test holds the master end (the module) and the
// link opens the slave through a COMn entry of a port folder of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <thread>

#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "LineSettings.h"
#include "LockFile.h"
#include "PortFolder.h"
#include "Pty.h"
#include "RecordingOwner.h"

namespace {

using namespace linktest;
using testkit::Bytes;

const Bytes kQuery = {0x01, 0x00, 0x01, 0x00, 0x00, 0x02};
const Bytes kSetChannel = {0x00, 0x01, 0x01, 0x00, 0x2E, 0x30};
constexpr std::size_t kStallingSize = std::size_t{256} * 1024;  // far more than a pty holds

constexpr int kCom = 201;

Note RxChar(std::uint8_t byte) {
    return {WM_LINK_RXCHAR, byte, kCom};
}

// Opens as the panel does; timeouts in the panel's units (1 is 1000 ms).
int OpenLink(CSerialLink& link, ILinkOwner* owner, int com, std::uint32_t baud = 9600,
             std::uint32_t mask = EV_RXCHAR, std::uint32_t buffer = 512,
             std::uint32_t writeConstant = 1000) {
    return link.Open(owner, com, baud, 'N', 8, 0, mask, buffer, 1000, 1000, 1000, 0, writeConstant);
}

class LinkOnPty : public ::testing::Test {
protected:
    LinkOnPty() { link.SetErrorReporter(&panel); }
    int OpenPanel(std::uint32_t mask = EV_RXCHAR, std::uint32_t buffer = 512,
                  std::uint32_t writeConstant = 1000) {
        return OpenLink(link, &panel, kCom, 9600, mask, buffer, writeConstant);
    }
    // Once a frame sent through the monitor has arrived, its start-up purge is behind it.
    void StartAndSync(CSerialLink* other = nullptr) {
        CSerialLink& l = other != nullptr ? *other : link;
        ASSERT_EQ(l.StartMonitor(), 1);
        ASSERT_EQ(l.Send(kQuery.data(), 6), 1);
        ASSERT_EQ(pty.Read(6), kQuery);
    }
    int Send(const Bytes& bytes) { return link.Send(bytes.data(), static_cast<int>(bytes.size())); }
    bool WaitWriteBegun() {
        pollfd arrived{pty.Master(), POLLIN, 0};
        return ::poll(&arrived, 1, 5000) == 1;
    }

    // The link goes first: its destructor still finds its owner.
    testkit::PortFolder folder{false};
    testkit::Pty pty{kCom};
    RecordingOwner panel{link};
    CSerialLink link;
};

TEST_F(LinkOnPty, OpenSwitchesTheLineToRaw9600EightNOne) {
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);  // the master reads and sets the slave's
    t.c_iflag |= IXON | IXOFF | IXANY | ICRNL;
    t.c_cflag |= CRTSCTS | HUPCL;
    t.c_lflag |= ICANON | ECHO | ISIG;
    ASSERT_EQ(::tcsetattr(pty.Master(), TCSANOW, &t), 0);
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);
    EXPECT_EQ(::cfgetispeed(&t), speed_t{B9600});
    EXPECT_EQ(::cfgetospeed(&t), speed_t{B9600});
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD | HUPCL),
              tcflag_t{CS8 | CLOCAL | CREAD | HUPCL});
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY | ISTRIP | BRKINT), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1) << "VMIN 0 would make a read of 0 mean 'no data'";
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_TRUE(panel.Reports().empty()) << "a pty has no RTS line; that is no failure";
}

TEST_F(LinkOnPty, AConfigurationFailureIsReportedAndThePortStaysOpen) {
    panel.onShow = [&] { link.Close(); };               // as a device change handled in the box may
    EXPECT_EQ(OpenLink(link, &panel, kCom, 12345), 1);  // no termios speed
    EXPECT_EQ(panel.Reports(),
              std::vector<std::string>{Report("SetCommState()", "Invalid argument", kCom)});
}

int OpenDescriptors() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                          std::filesystem::directory_iterator()));
}

std::string Comm(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

TEST_F(LinkOnPty, WhatDoesNotOpenIsSilentLeavesNothingOpenAndSaysWhy) {
    const std::filesystem::path dir = folder.Path();
    const std::string slave = pty.SlavePath();
    const std::string lockFile = folder.LockFolder() + "/" + LockFileName(slave);
    std::ofstream(dir / "plain") << "not a tty";
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "sub");
    const std::pair<int, std::string> entries[] = {
        {203, "/nonexistent/tty"}, {204, (dir / "plain").string()}, {205, (dir / "fifo").string()},
        {206, "/dev/null"},        {207, (dir / "sub").string()},   {208, "/dev/ptmx"}};
    for (const auto& [com, target] : entries) {
        std::filesystem::create_symlink(target, folder.Entry(com));
    }
    const long self = ::getpid();
    struct Row {
        const char* name;
        int com;
        OpenFailureKind kind;
        std::string device;
        long holder;
        std::function<void()> hold, release;
    };
    CSerialLink other;
    int flocked = -1;
    const std::vector<Row> rows = {
        {"NoEntryNorTable", 202, OpenFailureKind::NoSuchDevice, "", 0, {}, {}},
        {"Dangling", 203, OpenFailureKind::NoSuchDevice, "/nonexistent/tty", 0, {}, {}},
        {"RegularFile", 204, OpenFailureKind::NotATerminal, entries[1].second, 0, {}, {}},
        {"Fifo", 205, OpenFailureKind::NotATerminal, entries[2].second, 0, {}, {}},
        {"DevNull", 206, OpenFailureKind::NotATerminal, "/dev/null", 0, {}, {}},
        {"Folder", 207, OpenFailureKind::NotATerminal, entries[4].second, 0, {}, {}},
        {"PtyMultiplexer", 208, OpenFailureKind::NotATerminal, "/dev/ptmx", 0, {}, {}},
        {"AnotherLink", kCom, OpenFailureKind::Busy, slave, self,
         [&] { ASSERT_EQ(OpenLink(other, nullptr, kCom), 1); }, [&] { other.Close(); }},
        {"LockFileOfALiveProcess", kCom, OpenFailureKind::Busy, slave, 1,
         [&] { std::ofstream(lockFile) << "         1\n"; },
         [&] { std::filesystem::remove(lockFile); }},
        {"FlockWithoutLockFile", kCom, OpenFailureKind::Busy, slave, self,
         [&] {
             flocked = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
             ASSERT_EQ(::flock(flocked, LOCK_EX), 0);
         },
         [&] { ::close(flocked); }},
    };
    ASSERT_EQ(OpenLink(link, &panel, 202), 0);  // the link's own events exist from here on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.hold) {
            row.hold();
        }
        const int before = OpenDescriptors();
        EXPECT_EQ(OpenLink(link, &panel, row.com), 0);
        EXPECT_EQ(OpenDescriptors(), before);
        const OpenFailure& failure = link.LastOpenFailure();
        EXPECT_EQ(failure.kind, row.kind);
        EXPECT_EQ(failure.device, row.device);
        EXPECT_EQ(failure.holderPid, row.holder);
        EXPECT_EQ(failure.holderName, row.holder != 0 ? Comm(row.holder) : "");
        if (row.release) {
            row.release();
        }
    }
    EXPECT_TRUE(panel.Reports().empty());
    ASSERT_EQ(OpenPanel(), 1) << "the port itself opens";
    EXPECT_EQ(link.LastOpenFailure().kind, OpenFailureKind::None);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
}

TEST_F(LinkOnPty, TheLockFileIsHeldWhileOpenAndAStaleOneIsReplaced) {
    const std::string lockFile = folder.LockFolder() + "/" + LockFileName(pty.SlavePath());
    auto text = [&] {
        std::ifstream in(lockFile);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    char ours[16];
    std::snprintf(ours, sizeof ours, "%10ld\n", static_cast<long>(::getpid()));
    std::ofstream(lockFile) << "4194305\n";  // above any pid_max: nobody
    ASSERT_EQ(OpenPanel(), 1);
    EXPECT_EQ(text(), ours);
    link.Close();
    EXPECT_FALSE(std::filesystem::exists(lockFile)) << "Close removes it";
    auto doomed = std::make_unique<CSerialLink>();
    ASSERT_EQ(OpenLink(*doomed, nullptr, kCom), 1);
    EXPECT_EQ(text(), ours);
    doomed.reset();
    EXPECT_FALSE(std::filesystem::exists(lockFile)) << "the destructor removes it";
}

TEST_F(LinkOnPty, EachByteIsHandledBeforeTheNextIsReadAndEveryValuePassesBothWays) {
    ASSERT_EQ(OpenPanel(), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    Bytes all(256);
    std::iota(all.begin(), all.end(), 0);
    panel.onMessage = [&] {  // byte k is handled while the bytes after it are still unread
        const std::size_t k = panel.notes.size() - 1;
        EXPECT_EQ(panel.notes.back(), RxChar(all[k]));
        EXPECT_EQ(pty.SlaveQueued(), static_cast<int>(255 - k));
        if (k == 0) {  // two Sends while the monitor is busy: the second, once
            EXPECT_EQ(Send(kSetChannel), 1);
            EXPECT_EQ(Send(all), 1);
        }
    };
    ASSERT_TRUE(pty.Write(all));
    for (int k = 0; k < 256; ++k) {
        ASSERT_TRUE(panel.Pump()) << "delivery " << k;
    }
    EXPECT_EQ(panel.notes.size(), 256u);
    EXPECT_EQ(pty.Read(2 * all.size(), 300), all);
    EXPECT_FALSE(panel.WaitForWake(0ms)) << "one delivery per byte";
}

TEST_F(LinkOnPty, CloseOrReopenWithAByteParkedHandlesThatByteAndReadsNoMore) {
    enum Mode { kCloseParked, kCloseInHandler, kOpenParked };
    for (const Mode mode : {kCloseParked, kCloseInHandler, kOpenParked}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(OpenPanel(), 1);
        ASSERT_NO_FATAL_FAILURE(StartAndSync());
        EXPECT_EQ(link.TryStartMonitor(), MonitorStart::AlreadyRunning);
        EXPECT_EQ(link.StartMonitor(), 0) << "two monitors would read each other's bytes";
        panel.notes.clear();
        panel.serviceCalls = 0;
        panel.onMessage = [this, mode] {
            if (mode == kCloseInHandler) {
                link.Close();
            }
        };
        ASSERT_TRUE(pty.Write({'A', 'B', 'C'}));
        ASSERT_TRUE(panel.WaitForWake());
        if (mode == kCloseParked) {
            link.Close();
        } else if (mode == kOpenParked) {
            ASSERT_EQ(OpenPanel(), 1);
        }
        link.DispatchPending();
        EXPECT_EQ(panel.notes, std::vector<Note>{RxChar('A')});
        EXPECT_EQ(pty.SlaveQueued(), mode == kOpenParked ? 0 : 2) << "unread, or purged by Open";
        EXPECT_GE(panel.serviceCalls, 1);
    }
    ASSERT_NO_FATAL_FAILURE(StartAndSync());  // the reopened port works
    ASSERT_TRUE(pty.Write({0x08}));
    ASSERT_TRUE(panel.Pump());
    EXPECT_EQ(panel.notes.back(), RxChar(0x08));
    EXPECT_TRUE(panel.Reports().empty());
}

TEST_F(LinkOnPty, SendOutsideTheBufferIsRefusedAndTheWritePurgesUnreadInput) {
    EXPECT_EQ(link.TrySend(kSetChannel.data(), 6), SendResult::NoBuffer);
    EXPECT_EQ(Send(kSetChannel), 0) << "no buffer before Open";
    EXPECT_EQ(link.TryStartMonitor(), MonitorStart::NeverOpened);
    EXPECT_EQ(link.StartMonitor(), 0) << "nothing to monitor before Open";
    ASSERT_EQ(OpenPanel(0, 6), 1);  // input unwatched, so it is still queued at the write
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    ASSERT_TRUE(pty.Write({1, 2, 3}));
    ASSERT_TRUE(pty.WaitSlaveQueued(3));
    const Bytes seven(7, 0xEE);
    EXPECT_EQ(link.TrySend(seven.data(), 7), SendResult::BadLength);
    EXPECT_EQ(link.TrySend(seven.data(), -1), SendResult::BadLength);
    EXPECT_EQ(link.TrySend(nullptr, 3), SendResult::NoBytes);
    EXPECT_EQ(link.Send(seven.data(), 7), 0);
    ASSERT_EQ(Send(kSetChannel), 1);
    EXPECT_EQ(pty.Read(12, 300), kSetChannel);
    EXPECT_EQ(pty.SlaveQueued(), 0);
}

TEST_F(LinkOnPty, SendDuringAStalledWriteNeverTearsTheFrameAndCloseEndsTheWrite) {
    ASSERT_EQ(OpenPanel(EV_RXCHAR, kStallingSize, 1000), 1);  // 1,000,000 ms per write
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    const Bytes first(kStallingSize, 'A');
    ASSERT_EQ(Send(first), 1);
    Bytes wire = pty.Read(std::size_t{32} * 1024);  // the rest stalls while the test sends
    ASSERT_GE(wire.size(), 32u * 1024u);
    ASSERT_EQ(Send(Bytes(kStallingSize, 'B')), 1);
    const Bytes rest = pty.Read(2 * kStallingSize, 1000);
    wire.insert(wire.end(), rest.begin(), rest.end());
    // The second write's purge may drop the unread tail of the first, nothing else.
    const auto firstB = std::find(wire.begin(), wire.end(), 'B');
    EXPECT_TRUE(std::all_of(wire.begin(), firstB, [](std::uint8_t b) { return b == 'A'; }));
    EXPECT_EQ(std::count(firstB, wire.end(), 'B'), static_cast<long>(kStallingSize));
    EXPECT_EQ(firstB + static_cast<long>(kStallingSize), wire.end());

    ASSERT_EQ(Send(first), 1);  // the far end reads none of it
    ASSERT_TRUE(WaitWriteBegun());
    link.Close();  // returns only if the stop event ends the stalled write
    EXPECT_TRUE(panel.Reports().empty());
}

TEST_F(LinkOnPty, WriteTimeoutEndsAStalledWriteSilently) {
    ASSERT_EQ(OpenPanel(EV_RXCHAR, kStallingSize, 1), 1);  // 1000 ms for the whole write
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    ASSERT_EQ(Send(Bytes(kStallingSize, 'A')), 1);  // the far end reads none of it
    ASSERT_TRUE(WaitWriteBegun());
    ASSERT_TRUE(pty.Write({0x5A}));  // read only once the write is over
    ASSERT_TRUE(panel.Pump(20s)) << "the monitor never came back from the write";
    EXPECT_EQ(panel.notes, std::vector<Note>{RxChar(0x5A)});
    EXPECT_TRUE(panel.Reports().empty());
}

struct HangUpRow {
    const char* name;
    std::uint32_t mask;
    bool boxStaysUp;  // the report is not dismissed until Close has serviced for a second
    const char* step;
};

class HangUp : public LinkOnPty, public ::testing::WithParamInterface<HangUpRow> {};

TEST_P(HangUp, IsReportedOnceDeliversNothingAndCostsNoCpu) {
    const HangUpRow& row = GetParam();
    panel.Hold(row.boxStaysUp);
    ASSERT_EQ(OpenPanel(row.mask), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync());
    pty.CloseMaster();
    ASSERT_TRUE(panel.WaitForReports());
    ASSERT_EQ(Send(kSetChannel), 1);  // writing to the vanished port shows no second box
    const auto start = std::chrono::steady_clock::now();
    panel.onService = [&] {
        if (std::chrono::steady_clock::now() - start > 1s) {
            panel.Hold(false);
        }
    };
    const std::clock_t before = std::clock();  // CPU time of all threads
    if (!row.boxStaysUp) {
        std::this_thread::sleep_for(1s);  // a monitor looping on the port would burn it
    }
    link.Close();
    EXPECT_LT(std::clock() - before, CLOCKS_PER_SEC / 2);
    EXPECT_LT(panel.serviceCalls, 1000) << "Close must sleep between rounds";
    // The kernel finishes a pty's hang-up after it has already woken poll(): a watched input
    // may see either the failed read or, just before it, the hang-up of the wait. One report
    // either way.
    const auto reports = panel.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(
        reports[0] == Report(row.step, "Input/output error", kCom) ||
        (row.mask != 0 && reports[0] == Report("WaitCommEvent()", "Input/output error", kCom)))
        << reports[0];
    EXPECT_TRUE(panel.notes.empty());
    EXPECT_FALSE(panel.WaitForWake(0ms));
}

INSTANTIATE_TEST_SUITE_P(Table, HangUp,
                         ::testing::Values(HangUpRow{"Read", EV_RXCHAR, false, "ReadFile()"},
                                           HangUpRow{"Wait", 0, false, "WaitCommEvent()"},
                                           HangUpRow{"CloseDuringTheBox", EV_RXCHAR, true,
                                                     "ReadFile()"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkOnPty, DetachedOwnerGetsNothingAndTheDestructorStopsARunningMonitor) {
    auto doomed = std::make_unique<CSerialLink>();
    auto window = std::make_unique<RecordingOwner>(*doomed);
    doomed->SetErrorReporter(&panel);
    ASSERT_EQ(OpenLink(*doomed, window.get(), kCom), 1);
    ASSERT_NO_FATAL_FAILURE(StartAndSync(doomed.get()));
    ASSERT_TRUE(pty.Write({'A', 'B', 'C'}));
    ASSERT_TRUE(window->WaitForWake()) << "'A' is parked";

    doomed->DetachOwner();  // as the window does when it goes, before the static link
    doomed->DispatchPending();
    EXPECT_TRUE(window->notes.empty());
    EXPECT_TRUE(pty.WaitSlaveQueued(0)) << "released, it reads on";
    window.reset();
    ASSERT_TRUE(pty.Write({'D'}));
    EXPECT_TRUE(pty.WaitSlaveQueued(0)) << "'D' was read, the monitor runs on";
    doomed.reset();  // ASan catches any call into the gone owner
    EXPECT_TRUE(panel.Reports().empty());
    EXPECT_EQ(OpenPanel(), 1) << "the destructor closed the port";
}

}  // namespace
