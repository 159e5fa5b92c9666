// varnel-module as a process, driven over its COM entry with plain POSIX I/O.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ModuleCore.h"
#include "PortFolder.h"
#include "PortNames.h"
#include "Process.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kDeadlineMs = 10000;  // generous: only a hung module ever waits this long

// Reads until `want` bytes, end of file or a quiet deadline; returns what arrived.
Bytes ReadUpTo(int fd, std::size_t want, int deadlineMs = kDeadlineMs) {
    Bytes got(want);
    std::size_t size = 0;
    pollfd p{fd, POLLIN, 0};
    while (want > size && ::poll(&p, 1, deadlineMs) > 0) {
        const ssize_t n = ::read(fd, got.data() + size, want - size);
        if (n <= 0) {
            break;
        }
        size += static_cast<std::size_t>(n);
    }
    got.resize(size);
    return got;
}

// One simulator run; its standard output and error arrive through one pipe. Without
// `inputPipe` its standard input is /dev/null, which must not end it.
class Module : public testkit::Process {
public:
    explicit Module(std::vector<std::string> args, bool inputPipe = true) {
        EXPECT_TRUE(Start(VARNEL_MODULE_PATH, args, {.inputPipe = inputPipe, .mergeErrors = true}));
    }
    int Wait() { return Process::Wait(kDeadlineMs); }
};

class ModuleProcess : public ::testing::Test {
protected:
    void TearDown() override {
        for (int fd : m_fds) {
            ::close(fd);
        }
    }
    // Whether COM `com` is listed, after waiting up to `deadlineMs` for it to be.
    bool Listed(int com, int deadlineMs = 0) const {
        const fs::path entry = m_ports / PortDisplayName(com);
        for (int ms = 0; ms < deadlineMs && !fs::is_symlink(entry); ms += 5) {
            ::usleep(5000);
        }
        return fs::is_symlink(entry);
    }
    int OpenPort(int com) {
        EXPECT_TRUE(Listed(com, kDeadlineMs));
        m_fds.push_back(::open((m_ports / PortDisplayName(com)).c_str(),
                               O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        EXPECT_GE(m_fds.back(), 0);
        return m_fds.back();
    }
    // Writes the hex bytes of `send` and returns the hex of the next `replies` frames.
    static std::string Exchange(int fd, const std::string& send, std::size_t replies = 1) {
        Bytes bytes;
        std::istringstream in(send);
        for (unsigned byte = 0; in >> std::hex >> byte;) {
            bytes.push_back(static_cast<std::uint8_t>(byte));
        }
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        return HexBytes(ReadUpTo(fd, replies * kFrameSize));
    }

    testkit::PortFolder m_folder{false};
    fs::path m_ports = m_folder.Path();
    std::vector<int> m_fds;
};

TEST_F(ModuleProcess, AnswersOverItsComEntry) {
    Module module({"--com=7", "--channel", "45", "--power=12.34", "--output", "on", "--log"});
    const int fd = OpenPort(7);
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw mode";
    EXPECT_EQ(tio.c_oflag & OPOST, 0u) << "raw mode";

    const std::pair<std::string, std::string> rows[] = {
        {"01 00 01 00 00 02", "01 01 01 00 2D 30"},  // query channel
        {"01 00 02 00 00 03", "01 01 02 04 D2 DA"},  // query power
        {"01 00 03 00 00 04", "01 01 03 01 01 07"},  // query output
        {"00 01 01 00 C8 CA", "01 01 01 00 59 5C"},  // set channel 200, clamped
        {"FF 55 00 01 01 00 2D 30 01 00 01 00 00 02", "01 01 01 00 59 5C"},
    };
    for (const auto& [send, reply] : rows) {
        EXPECT_EQ(Exchange(fd, send), reply) << send;
    }
    EXPECT_TRUE(ReadUpTo(fd, 1, 0).empty()) << "nothing but the replies";

    module.CloseInput();
    EXPECT_EQ(module.Wait(), 0);
    EXPECT_FALSE(Listed(7));
    const std::string out = module.Output();
    const std::string lines[] = {"rx  00 01 01 00 C8 CA  set channel 200, clamped to 89",
                                 "rx  FF 55              not a frame", "sent 5 frames, 30 bytes"};
    for (const std::string& line : lines) {
        EXPECT_NE(out.find(line + "\n"), std::string::npos) << line << " in\n" << out;
    }
}

TEST_F(ModuleProcess, SeededFaultsGiveTheExpectedCounts) {
    constexpr std::size_t kQueries = 200;
    FaultInjector fates({.drop = 0.25, .corrupt = 0.25, .seed = 1234});
    std::string queries, replies;
    std::size_t sent = 0, corrupt = 0;
    for (std::size_t i = 0; i < kQueries; ++i) {
        const ReplyFate fate = fates.Next();
        queries += "01 00 02 00 00 03 ";
        if (!fate.drop) {
            replies += (sent++ > 0 ? " 01 01 02 02 BC " : "01 01 02 02 BC ");
            replies += fate.corrupt ? "42" : "C2";
            corrupt += fate.corrupt ? 1 : 0;
        }
    }
    EXPECT_NEAR(sent, kQueries * 3 / 4, kQueries / 10);
    EXPECT_NEAR(corrupt, sent / 4, kQueries / 10);

    Module module({"--com", "3", "--drop", "0.25", "--corrupt", "0.25", "--seed", "1234"});
    EXPECT_EQ(Exchange(OpenPort(3), queries, sent), replies);
    module.Signal(SIGINT);
    EXPECT_EQ(module.Wait(), 0);
    EXPECT_NE(module.Output().find("sent " + std::to_string(sent - corrupt) + " frames"),
              std::string::npos);
}

TEST_F(ModuleProcess, EndsCleanlyAndTakesItsEntryAway) {
    const std::pair<std::string, std::vector<std::string>> rows[] = {
        {"SIGTERM", {"--com", "4"}},
        {"unplug", {"--com", "4", "--unplug-after", "0.3"}},
    };
    for (const auto& [name, args] : rows) {
        SCOPED_TRACE(name);
        Module module(args, false);
        const int fd = OpenPort(4);
        EXPECT_EQ(Exchange(fd, "01 00 03 00 00 04"), "01 01 03 00 00 05");
        if (name == "SIGTERM") {
            module.Signal(SIGTERM);
        }
        EXPECT_EQ(module.Wait(), 0);
        EXPECT_FALSE(Listed(4));
        pollfd p{fd, POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, kDeadlineMs), 1);
        EXPECT_TRUE(p.revents & POLLHUP) << "the port hangs up like a pulled adapter";
    }
}

TEST_F(ModuleProcess, RefusesWhatItCannotDoAndSaysWhy) {
    Module first({"--com", "6"});
    fs::create_symlink("/nonexistent/ttyUSB3", m_ports / "COM8");
    const std::tuple<std::vector<std::string>, const char*, int, std::string> rows[] = {
        {{"--com", "6"}, "", 2, "COM6 is already taken"},
        {{"--com", "8"}, "", 2, "COM8 is already taken"},
        {{"--com", "255"}, "", 64, "--com wants a port number from 1 to 254"},
        {{"--drop", "2"}, "", 64, "--drop wants a fraction from 0 to 1"},
        {{"--colour"}, "", 64, "unknown option --colour"},
        {{"--com", "5"}, "/proc/varnel", 1, "Set VARNEL_PORTS to a folder you can write to"},
    };
    ASSERT_TRUE(Listed(6, kDeadlineMs));
    for (const auto& [args, ports, code, text] : rows) {
        SCOPED_TRACE(text);
        ::setenv("VARNEL_PORTS", *ports ? ports : m_ports.c_str(), 1);
        Module module(args);
        EXPECT_EQ(module.Wait(), code);
        EXPECT_NE(module.Output().find(text), std::string::npos);
    }
    ::setenv("VARNEL_PORTS", m_ports.c_str(), 1);
    EXPECT_EQ(fs::read_symlink(m_ports / "COM8"), "/nonexistent/ttyUSB3");
    EXPECT_EQ(Exchange(OpenPort(6), "01 00 01 00 00 02"), "01 01 01 00 01 04");
}

TEST_F(ModuleProcess, StreamsIntactRepliesAndCountsThem) {
    Module module({"--com", "9", "--stream", "max", "--channel", "12"});
    constexpr std::size_t kFrames = 600;
    const Bytes got = ReadUpTo(OpenPort(9), kFrames * kFrameSize);
    ASSERT_EQ(got.size(), kFrames * kFrameSize);
    std::set<std::string> seen;
    for (auto at = got.begin(); at != got.end(); at += kFrameSize) {
        seen.insert(HexBytes({at, at + kFrameSize}));
    }
    EXPECT_EQ(seen, (std::set<std::string>{"01 01 01 00 0C 0F", "01 01 02 02 BC C2",
                                           "01 01 03 00 00 05"}));
    module.CloseInput();
    EXPECT_EQ(module.Wait(), 0);
    const std::string out = module.Output();
    unsigned long long sent = 0, bytes = 0;
    ASSERT_EQ(std::sscanf(out.substr(out.find("sent ")).c_str(), "sent %llu frames, %llu bytes",
                          &sent, &bytes),
              2)
        << out;
    EXPECT_GE(sent, kFrames);
    EXPECT_EQ(bytes, kFrameSize * sent);
}

}  // namespace
