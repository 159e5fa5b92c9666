// The Win32 link on COM5, which the harness links to a varnel-module's pseudo-terminal.
// WineLink.* runs against a module that stays; WineUnplug.* has the harness end the module,
// which hangs up the pty as a pulled adapter does.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "CommandFrame.h"
#include "LinkRecords.h"
#include "PortNames.h"
#include "ReplyFramer.h"
#include "WineLinkSupport.h"

namespace {

using namespace winetest;

std::vector<CommandFrame> Frames(const std::vector<std::uint8_t>& bytes) {
    ReplyFramer framer;
    std::vector<CommandFrame> frames;
    for (std::uint8_t byte : bytes) {
        if (std::optional<CommandFrame> frame = framer.Feed(byte)) {
            frames.push_back(*frame);
        }
    }
    return frames;
}

int SendFrame(CSerialLink& link, const CommandFrame& frame) {
    return link.Send(frame.data(), static_cast<int>(frame.size()));
}

long Received() {
    return std::strtol(AskHarness("received").c_str(), nullptr, 10);
}

// A link and its owner, which also takes its reports; the link goes first, so its destructor
// still finds its owner.
class WineLink : public ::testing::Test {
protected:
    WineLink() { link.SetErrorReporter(&owner); }
    linktest::RecordingOwner owner{link};
    CSerialLink link;
};

// Run on its own by scripts/wine-tests.sh, whose module is unplugged by the test.
class WineUnplug : public WineLink {};

TEST_F(WineLink, LineSettingsReachThePty) {
    ASSERT_EQ(link.Open(&owner, kModulePort, PanelSettings()), 1);
    const std::string line = AskHarness("line");
    link.Close();
    EXPECT_TRUE(owner.Reports().empty());
    // The speed is the one given; the terminal's cooked defaults (line editing, echo,
    // output processing) are off, so bytes pass untouched.
    for (const char* setting : {"speed 19200 baud", "-icanon", "-echo ", "-opost"}) {
        EXPECT_NE(line.find(setting), std::string::npos) << setting << " in:\n" << line;
    }
}

TEST_F(WineLink, FramesGoOutAndRepliesComeBackInOrderOneByteAtATime) {
    ASSERT_EQ(link.Open(&owner, kModulePort, PanelSettings()), 1);
    ASSERT_EQ(link.StartMonitor(), 1);
    const long before = Received();
    ASSERT_EQ(SendFrame(link, SetChannelFrame(5)), 1);

    // The monitor parks one byte and reads the next only once it has been handled.
    ASSERT_TRUE(owner.WaitForWake());
    EXPECT_FALSE(owner.WaitForWake(300ms)) << "a second byte came before the first was handled";
    link.DispatchPending();
    while (owner.Bytes().size() < kFrameSize && owner.Pump()) {
    }
    ASSERT_EQ(SendFrame(link, SetChannelFrame(9)), 1);
    while (owner.Bytes().size() < 2 * kFrameSize && owner.Pump()) {
    }
    EXPECT_FALSE(owner.Pump(300ms)) << "more than two replies";
    link.Close();

    const std::vector<CommandFrame> frames = Frames(owner.Bytes());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], ReplyFrame(CMD_CHANNEL, 0, 5));
    EXPECT_EQ(frames[1], ReplyFrame(CMD_CHANNEL, 0, 9));
    for (const Note& note : owner.notes) {
        EXPECT_EQ(std::get<2>(note), kModulePort);
    }
    EXPECT_EQ(Received() - before, 2);
    EXPECT_TRUE(owner.Reports().empty());
}

TEST_F(WineLink, SendOutsideTheBufferIsRefusedAndWritesNothing) {
    const std::vector<std::uint8_t> big(513, 0x01);
    EXPECT_EQ(link.TrySend(big.data(), 6), SendResult::NoBuffer);
    EXPECT_EQ(link.TryStartMonitor(), MonitorStart::NeverOpened);
    // A path is the POSIX link's: refused here with the reason, nothing opened.
    EXPECT_EQ(link.OpenPath(&owner, "\\\\.\\NUL", PanelSettings()), 0);
    EXPECT_EQ(link.LastOpenFailure().error, ERROR_NOT_SUPPORTED);
    ASSERT_EQ(link.Open(&owner, kModulePort, PanelSettings()), 1);
    ASSERT_EQ(link.StartMonitor(), 1);
    EXPECT_EQ(link.TryStartMonitor(), MonitorStart::AlreadyRunning);
    const long before = Received();
    struct Row {
        const char* name;
        const std::uint8_t* bytes;
        int length;
        SendResult expected;
    };
    for (const Row& row : {Row{"negative", big.data(), -1, SendResult::BadLength},
                           Row{"past the end", big.data(), 513, SendResult::BadLength},
                           Row{"no bytes", nullptr, 6, SendResult::NoBytes}}) {
        EXPECT_EQ(link.TrySend(row.bytes, row.length), row.expected) << row.name;
        EXPECT_EQ(link.Send(row.bytes, row.length), 0) << row.name;
    }
    // A frame after the refusals is written alone and whole.
    ASSERT_EQ(SendFrame(link, *QueryFrame(CMD_OUTPUT)), 1);
    EXPECT_EQ(AskUntil("received", [&](long n) { return n > before; }), before + 1);
    link.Close();
}

TEST_F(WineLink, InputWaitingWhenAWriteStartsIsPurged) {
    // Watching breaks only: replies stay in the pty's input, where the harness counts them.
    ASSERT_EQ(link.Open(&owner, kModulePort, PanelSettings(EV_BREAK)), 1);
    ASSERT_EQ(link.StartMonitor(), 1);
    const long sent = std::strtol(AskHarness("sent").c_str(), nullptr, 10);
    ASSERT_EQ(SendFrame(link, *QueryFrame(CMD_CHANNEL)), 1);
    ASSERT_EQ(AskUntil("queued", [](long n) { return n >= 6; }), 6);
    ASSERT_EQ(SendFrame(link, *QueryFrame(CMD_POWER)), 1);
    ASSERT_EQ(AskUntil("sent", [&](long n) { return n >= sent + 2; }), sent + 2);
    EXPECT_EQ(AskUntil("queued", [](long n) { return n >= 0; }), 6) << "the first reply stayed";
    link.Close();
    EXPECT_TRUE(owner.notes.empty());
}

TEST_F(WineLink, CloseDuringADeliveryHandsItOverAndReadsNoFurther) {
    ASSERT_EQ(link.Open(&owner, kModulePort, PanelSettings()), 1);
    ASSERT_EQ(link.StartMonitor(), 1);
    ASSERT_EQ(SendFrame(link, *QueryFrame(CMD_CHANNEL)), 1);
    ASSERT_TRUE(owner.WaitForWake());  // the monitor is blocked delivering the first byte
    link.Close();
    ASSERT_EQ(owner.notes.size(), 1u);  // handed over inside Close, nothing after it
    EXPECT_EQ(owner.notes[0], Note(WM_LINK_RXCHAR, 0x01, kModulePort));

    // The port was closed: it opens again at once.
    CSerialLink again;
    linktest::RecordingOwner other(again);
    EXPECT_EQ(again.Open(&other, kModulePort, PanelSettings()), 1);
    again.Close();
}

TEST_F(WineLink, APortInUseDoesNotOpenASecondTime) {
    CSerialLink first;
    CSerialLink second;
    linktest::RecordingOwner owner(first);
    linktest::RecordingOwner other(second);
    second.SetErrorReporter(&other);
    ASSERT_EQ(first.Open(&owner, kModulePort, PanelSettings()), 1);
    EXPECT_TRUE(PortExists(kModulePort)) << "a port in use still exists";
    EXPECT_EQ(second.Open(&other, kModulePort, PanelSettings()), 0);
    EXPECT_EQ(second.LastOpenFailure().kind, OpenFailureKind::Busy)
        << second.LastOpenFailure().error;
    EXPECT_TRUE(other.Reports().empty());
    first.Close();
    EXPECT_EQ(second.Open(&other, kModulePort, PanelSettings()), 1);
    second.Close();
}

TEST_F(WineLink, NumbersWithNoPortDoNotExistAndDoNotOpen) {
    // The prefix pins every COM number but the module's to a path that does not exist.
    for (int com : {-1, 0, kModulePort + 1, kMaxComPort + 1}) {
        EXPECT_FALSE(PortExists(com)) << "COM" << com;
    }
    EXPECT_TRUE(PortExists(kModulePort));
    EXPECT_EQ(link.Open(&owner, kNoPort, PanelSettings()), 0);
    EXPECT_EQ(link.LastOpenFailure().kind, OpenFailureKind::NoSuchDevice)
        << link.LastOpenFailure().error;
    EXPECT_EQ(DescribeOpenFailure(kNoPort, link.LastOpenFailure()).rfind("COM300 ", 0), 0u);
    EXPECT_TRUE(owner.Reports().empty());
    link.Close();
}

TEST_F(WineLink, ReportsHoldTheWholeTextHoweverLong) {
    const std::string operation(300, 'x');
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    link.ReportError(operation.c_str());
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ::SetLastError(0x20001234);  // a code the system has no text for
    link.ReportError("ReadFile()");
    const std::vector<std::string> reports = owner.Reports();
    ASSERT_EQ(reports.size(), 2u);
    const std::string head =
        "Application Error: WARNING:  " + operation + " Failed with the following error: \n";
    EXPECT_EQ(reports[0].rfind(head, 0), 0u) << reports[0];
    EXPECT_GT(reports[0].size(), head.size() + std::strlen("\nPort: 0\n") + 5);
    EXPECT_EQ(reports[0].substr(reports[0].size() - 9), "\nPort: 0\n");
    EXPECT_NE(reports[1].find("Error 536875572"), std::string::npos) << reports[1];
}

TEST_F(WineLink, OnlyAPortThatRefusesForGoodIsAVanishedDevice) {
    struct Row {
        const char* name;
        DWORD error;
        bool gone;
    };
    for (const Row& row : {Row{"pulled adapter", ERROR_ACCESS_DENIED, true},
                           Row{"bad command", ERROR_BAD_COMMAND, true},
                           Row{"general failure", ERROR_GEN_FAILURE, true},
                           Row{"device removed", ERROR_DEVICE_REMOVED, true},
                           Row{"hung-up pty under Wine", ERROR_NOT_READY, true},
                           Row{"idle wait ended", ERROR_OPERATION_ABORTED, false},
                           Row{"no device behind a pinned number", ERROR_INVALID_FUNCTION, false},
                           Row{"read timed out", ERROR_SEM_TIMEOUT, false}}) {
        EXPECT_EQ(IsDeviceGone(row.error), row.gone) << row.name;
    }
}

TEST_F(WineUnplug, AVanishedModuleIsReportedOnceAndNotWatchedAfter) {
    ASSERT_EQ(link.Open(&owner, kModulePort, PanelSettings()), 1);
    ASSERT_EQ(link.StartMonitor(), 1);
    ASSERT_EQ(AskHarness("unplug"), "unplugged\n");
    ASSERT_TRUE(owner.WaitForReports(1, 10s)) << "the hang-up was not reported";
    EXPECT_FALSE(owner.WaitForReports(2, 1500ms));
    EXPECT_EQ(SendFrame(link, *QueryFrame(CMD_CHANNEL)), 1);
    EXPECT_FALSE(owner.WaitForReports(2, 500ms)) << "a write to the vanished port reported";
    link.Close();
    const std::vector<std::string> reports = owner.Reports();
    std::string all;
    for (const std::string& report : reports) {
        all += report;
    }
    ASSERT_EQ(reports.size(), 1u) << all;
    std::printf("the report: %s", reports[0].c_str());
    EXPECT_EQ(reports[0].rfind("Application Error: WARNING:  ", 0), 0u);
    EXPECT_NE(reports[0].find("Port: 5\n"), std::string::npos);
    EXPECT_TRUE(owner.notes.empty()) << "a failed read delivered something";
}

}  // namespace
