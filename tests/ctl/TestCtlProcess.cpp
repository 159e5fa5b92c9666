// varnel-ctl as a process against varnel-module on pseudo-terminals, each test in a private
// port folder: the commands, the faults of the line, and the ways an open fails.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "LinkMessages.h"
#include "LockFile.h"
#include "PortFolder.h"
#include "PortNames.h"
#include "Process.h"
#include "SerialLink.h"

namespace fs = std::filesystem;

namespace {

using testkit::Process;
using testkit::WaitUntil;
constexpr int kExitFailure = 1;
constexpr int kExitPort = 2;
constexpr int kExitNoReply = 3;
constexpr int kExitUsage = 64;
constexpr int kExitInterrupted = 130;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The outcome of one varnel-ctl run.
struct CtlRun {
    int code;
    std::string out;
    std::string err;
};

// A link owner that takes nothing: the test only holds the port.
class IdleOwner : public ILinkOwner {
public:
    void OnLinkMessage(unsigned, std::uint32_t, std::int32_t) override {}
    void WakeOwner() override {}
};

class CtlProcess : public ::testing::Test {
protected:
    // Starts varnel-module as COM `com` (97 up: free of the dangling entries) and waits
    // until it is published.
    Process& StartModule(int com, std::vector<std::string> args = {}) {
        args.push_back("--log");
        m_modules.push_back(std::make_unique<Process>());
        std::string error;
        EXPECT_TRUE(testkit::StartModule(*m_modules.back(), VARNEL_MODULE_PATH, com, args, &error))
            << error;
        return *m_modules.back();
    }
    // Ends a module and returns its wire log.
    static std::string ModuleLog(Process& module) {
        module.Signal(SIGTERM);
        EXPECT_EQ(module.Wait(testkit::kGenerousMs), 0);
        return module.Output();
    }
    static std::unique_ptr<Process> StartCtl(const std::vector<std::string>& args) {
        auto ctl = std::make_unique<Process>();
        EXPECT_TRUE(ctl->Start(VARNEL_CTL_PATH, args, {.inputPipe = false}));
        return ctl;
    }
    static CtlRun Ctl(const std::vector<std::string>& args) {
        const auto ctl = StartCtl(args);
        const int code = ctl->Wait(testkit::kGenerousMs);
        return {code, ctl->Output(), ctl->Errors()};
    }
    std::string Pty(int com) const { return fs::read_symlink(m_folder.Entry(com)); }

    testkit::PortFolder m_folder;  // dangling COM1..COM96: no number reaches a real device
    fs::path m_dir = m_folder.Path();
    std::vector<std::unique_ptr<Process>> m_modules;
};

TEST_F(CtlProcess, EveryCommandAgainstAHealthyModule) {
    Process& module = StartModule(100, {"--channel", "45", "--power", "12.34"});
    struct Row {
        const char* name;
        std::vector<std::string> args;
        std::string out;
        int code = 0;
    };
    // clang-format off
    const Row rows[] = {
        {"get all", {"COM100", "get"}, "channel 45 (193900 GHz, 1546.12 nm, C39)  power 12.34 dBm  output off\n"},
        {"get one by pty path", {Pty(100), "get", "power"}, "power 12.34 dBm\n"},
        // refused before anything is sent: the wire log below never shows them
        {"set out of range", {"COM100", "set", "channel", "45", "power", "6.5"}, "", kExitUsage},
        {"sweep out of range", {"COM100", "sweep", "1-90", "--dwell", "0"}, "", kExitUsage},
        {"set several", {"COM100", "set", "channel", "46", "power", "8.2", "output", "on"}, "channel 46 (193950 GHz, 1545.72 nm, H39)  power 8.20 dBm  output on\n"},
        {"set clamped", {"COM100", "set", "power", "20", "--clamp"}, "power 13.00 dBm\n"},
        {"sweep", {"COM100", "sweep", "3-1:2", "--dwell", "0", "--power", "9", "--repeat", "2"},
         "step 1/4  channel 3 (191800 GHz, 1563.05 nm, C18)  power 9.00 dBm  output on\n"
         "step 2/4  channel 1 (191700 GHz, 1563.86 nm, C17)  power 9.00 dBm  output on\n"
         "step 3/4  channel 3 (191800 GHz, 1563.05 nm, C18)  power 9.00 dBm  output on\n"
         "step 4/4  channel 1 (191700 GHz, 1563.86 nm, C17)  power 9.00 dBm  output on\n"},
        {"ports", {"ports"}, "COM100  " + Pty(100) + "\n"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CtlRun run = Ctl(row.args);
        EXPECT_EQ(run.code, row.code) << run.err;
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.err.empty(), row.code == 0) << run.err;
    }
    const std::string log = module.Output();  // the first setting on the wire is the valid one
    EXPECT_EQ(log.find("  set "), log.find("  set channel 46")) << log;
    const CtlRun all = Ctl({"ports", "--all"});
    EXPECT_NE(all.out.find("COM7  /nonexistent/tty7  not there\n"), std::string::npos) << all.out;

    // A monitor prints the first state and each change, and ends with 0 on Ctrl-C.
    const auto monitor = StartCtl({"COM100", "monitor", "--interval", "0.05", "--json"});
    ASSERT_TRUE(WaitUntil([&] { return Lines(monitor->Output()).size() == 1; }))
        << monitor->Errors();
    // Some unchanged polls (the monitor holds the port meanwhile), then Ctrl-C.
    EXPECT_EQ(Ctl({"COM100", "get"}).code, kExitPort);
    const std::size_t logged = Lines(module.Output()).size();
    ASSERT_TRUE(WaitUntil([&] { return Lines(module.Output()).size() >= logged + 12; }));
    monitor->Signal(SIGINT);
    EXPECT_EQ(monitor->Wait(testkit::kGenerousMs), 0);
    const std::vector<std::string> records = Lines(monitor->Output());
    ASSERT_EQ(records.size(), 1u) << "only changes are printed";
    EXPECT_EQ(nlohmann::json::parse(records[0])["channel"], 1);
}

TEST_F(CtlProcess, SweepOnABadLineReportsOnlyWhatTheModuleHolds) {
    StartModule(101, {"--drop", "0.2", "--corrupt", "0.1", "--forge", "0.1", "--seed", "7",
                      "--power", "11"});
    const fs::path csv = m_dir / "sweep.csv";
    // The default timing: it rides out 30% lost replies (and forged ones) as the panel does.
    const CtlRun run = Ctl({"COM101", "sweep", "1-10", "--dwell", "0", "--json", "--csv", csv});
    ASSERT_EQ(run.code, 0) << run.err;
    const std::vector<std::string> json = Lines(run.out);
    const std::vector<std::string> rows = Lines(ReadFile(csv));
    ASSERT_EQ(json.size(), 10u);
    ASSERT_EQ(rows.size(), 11u);
    for (std::size_t i = 0; i < json.size(); ++i) {
        const nlohmann::json record = nlohmann::json::parse(json[i]);  // throws if not JSON
        EXPECT_EQ(record["step"], i + 1);
        EXPECT_EQ(record["channel"], i + 1) << json[i];
        EXPECT_DOUBLE_EQ(record["power_dbm"].get<double>(), 11.0) << json[i];
        EXPECT_EQ(record["output"], false) << json[i];
        EXPECT_EQ(rows[i + 1].substr(0, 24), record["time"].get<std::string>());
        EXPECT_NE(rows[i + 1].find(",sweep," + std::to_string(i + 1) + ",1," +
                                   std::to_string(i + 1) + ","),
                  std::string::npos)
            << rows[i + 1];
    }
}

// A silent, slow, lying or pulled module ends varnel-ctl in bounded time with its own code;
// the steps before a pull are written.
TEST_F(CtlProcess, NoReplyOrAPulledModuleEndsInBoundedTimeWithItsCode) {
    StartModule(103, {"--silent"});
    StartModule(104, {"--reply-delay", "400"});
    StartModule(109, {"--forge", "1"});
    StartModule(108, {"--unplug-after", "0.3"});  // first in line: its clock is running
    // clang-format off
    const std::tuple<const char*, std::vector<std::string>, int, std::string> rows[] = {
        {"pulled", {"COM108", "sweep", "1-89", "--dwell", "0.05", "--json"}, kExitPort, "the port went away"},
        {"silent", {"COM103", "get", "--reply-wait", "20", "--tries", "3"}, kExitNoReply, "no reply to get channel after 3 tries; last seen: nothing"},
        {"set on silent", {"COM103", "set", "output", "on", "--tries", "2", "--reply-wait", "20"}, kExitNoReply, "no reply to set output on after 2 tries"},
        {"too slow", {"COM104", "get", "power", "--reply-wait", "50", "--tries", "1"}, kExitNoReply, "no reply to get power after 1 try"},
        {"every reply forged", {"COM109", "get", "--timeout", "200"}, kExitNoReply, ", no valid reply"},
    };
    // clang-format on
    for (const auto& [name, args, code, text] : rows) {
        SCOPED_TRACE(name);
        const CtlRun run = Ctl(args);
        EXPECT_EQ(run.code, code);
        EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
        EXPECT_EQ(run.out.empty(), code == kExitNoReply) << run.out;
    }
}

TEST_F(CtlProcess, InterruptedSweepLeavesACompleteCsvAndTheLaserOff) {
    Process& module = StartModule(105, {"--output", "on"});
    const fs::path csv = m_dir / "cut.csv";
    const auto sweep = StartCtl(
        {"COM105", "sweep", "1-89", "--dwell", "0.05", "--csv", csv, "--output", "off-at-end"});
    ASSERT_TRUE(WaitUntil([&] { return Lines(ReadFile(csv)).size() >= 4; })) << sweep->Errors();
    sweep->Signal(SIGINT);
    EXPECT_EQ(sweep->Wait(testkit::kGenerousMs), kExitInterrupted) << sweep->Errors();

    const std::string text = ReadFile(csv);
    const std::vector<std::string> rows = Lines(text);
    ASSERT_GE(rows.size(), 4u);
    ASSERT_LT(rows.size(), 90u) << "ended early";
    EXPECT_EQ(text.back(), '\n') << "no half row";
    EXPECT_EQ(Lines(sweep->Output()).size(), rows.size() - 1) << "every record on stdout too";
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(std::count(rows[i].begin(), rows[i].end(), ','), 9) << rows[i];
        EXPECT_NE(rows[i].find(",sweep," + std::to_string(i) + ",1," + std::to_string(i) + ","),
                  std::string::npos)
            << rows[i];
    }
    const CtlRun after = Ctl({"COM105", "get", "output"});
    EXPECT_EQ(after.out, "output off\n");
    EXPECT_NE(ModuleLog(module).find("set output off"), std::string::npos);
}

TEST_F(CtlProcess, OpenFailuresSayWhyAndWhatToDo) {
    StartModule(106);
    StartModule(107);
    StartModule(110);
    const auto holder = StartCtl({"COM106", "monitor", "--interval", "0.05"});
    ASSERT_TRUE(WaitUntil([&] { return !holder->Output().empty(); })) << holder->Errors();
    CSerialLink panelLink;
    IdleOwner owner;
    ASSERT_NE(
        panelLink.Open(
            &owner, 107,
            LinkSettings{.line = {}, .eventMask = EV_RXCHAR, .sendBufferSize = 6, .timeouts = {}}),
        0);
    const fs::path file = m_dir / "plain-file";
    std::ofstream(file) << "not a tty\n";
    // A FIFO where a lock file or the CSV file belongs would hold an open until a writer or
    // reader came: both are refused at once.
    const fs::path fifoCsv = m_dir / "fifo.csv";
    ASSERT_EQ(::mkfifo((fs::path(m_folder.LockFolder()) / LockFileName(Pty(110))).c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(fifoCsv.c_str(), 0600), 0);

    // clang-format off
    const std::tuple<const char*, std::vector<std::string>, int, std::string> rows[] = {
        {"missing COM", {"COM9", "get"}, kExitPort, "COM9 (/nonexistent/tty9) cannot be opened: the device is not there."},
        {"missing path", {"/dev/varnel-no-such-tty", "get"}, kExitPort, "/dev/varnel-no-such-tty cannot be opened: the device is not there."},
        {"held by varnel-ctl", {"COM106", "get"}, kExitPort, "it is in use by varnel-ctl (PID"},
        {"held by the panel's link", {Pty(107), "get"}, kExitPort, "it is in use by test_ctl_proces"},
        {"not a tty", {file.string(), "get"}, kExitPort, "it is not a terminal device"},
        {"not a tty either", {"/dev/null", "set", "output", "off"}, kExitPort, "it is not a terminal device"},
        {"lock file is a FIFO", {"COM110", "get"}, kExitPort, "is not a plain file"},
        {"CSV is a FIFO", {"COM106", "get", "--csv", fifoCsv.string()}, kExitFailure, "not a plain file or a terminal"},
    };
    // clang-format on
    for (const auto& [name, args, code, text] : rows) {
        SCOPED_TRACE(name);
        const CtlRun run = Ctl(args);
        EXPECT_EQ(run.code, code);
        EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
    }
    EXPECT_EQ(ReadFile(file), "not a tty\n") << "never written to";
    panelLink.Close();
    holder->Signal(SIGTERM);
    EXPECT_EQ(holder->Wait(testkit::kGenerousMs), 0);
    EXPECT_EQ(Ctl({"COM107", "get", "output"}).out, "output off\n") << "free again";
}

}  // namespace
