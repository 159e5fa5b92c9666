// varnel-module as a process, driven over its COM entry with plain POSIX I/O.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ModuleCore.h"
#include "PortNames.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kDeadlineMs = 10000;  // generous: only a hung module ever waits this long

Bytes Hex(const std::string& text) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 3) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// Reads up to `want` bytes, waiting at most the deadline; returns what arrived.
Bytes ReadUpTo(int fd, std::size_t want, int deadlineMs = kDeadlineMs) {
    Bytes got;
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, deadlineMs) <= 0) {
            break;
        }
        std::uint8_t buf[4096];
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

std::string ReadAll(int fd) {
    const Bytes bytes = ReadUpTo(fd, 1 << 20);
    return {bytes.begin(), bytes.end()};
}

// One simulator run with its three standard streams in our hands.
class Module {
public:
    // stdinPipe false gives it /dev/null, which must not end it.
    Module(const std::vector<std::string>& args, const fs::path& ports, bool stdinPipe = true) {
        int in[2], out[2], err[2];
        EXPECT_EQ(::pipe2(in, O_CLOEXEC) | ::pipe2(out, O_CLOEXEC) | ::pipe2(err, O_CLOEXEC), 0);
        std::vector<std::string> store{VARNEL_MODULE_PATH};
        store.insert(store.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : store) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setenv("VARNEL_PORTS", ports.c_str(), 1);
            ::dup2(stdinPipe ? in[0] : ::open("/dev/null", O_RDONLY), 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        m_stdin = in[1];
        m_stdout = out[0];
        m_stderr = err[0];
        m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
    }
    ~Module() {
        if (!m_status) {
            ::kill(m_pid, SIGKILL);
            Wait();
        }
        for (int fd : {m_stdin, m_stdout, m_stderr, m_pidfd}) {
            ::close(fd);
        }
    }

    // The announced "COM<n> -> <pty>", or nothing when the module ended instead.
    std::optional<std::pair<int, std::string>> Ready() {
        std::string line;
        while (line.empty() || line.back() != '\n') {
            const Bytes b = ReadUpTo(m_stdout, 1);
            if (b.empty()) {
                return std::nullopt;
            }
            line += static_cast<char>(b[0]);
        }
        int com = 0;
        char path[256] = {};
        if (std::sscanf(line.c_str(), "varnel-module: COM%d -> %255s", &com, path) != 2) {
            ADD_FAILURE() << line;
            return std::nullopt;
        }
        return std::make_pair(com, std::string(path));
    }
    void CloseStdin() {
        ::close(m_stdin);
        m_stdin = -1;
    }
    void Signal(int sig) { ::kill(m_pid, sig); }
    // Exit status (or -signal), once the process has ended.
    int Wait() {
        if (!m_status) {
            pollfd p{m_pidfd, POLLIN, 0};
            EXPECT_EQ(::poll(&p, 1, kDeadlineMs), 1) << "module did not end";
            int status = 0;
            ::waitpid(m_pid, &status, 0);
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
        return *m_status;
    }
    std::string Stdout() { return ReadAll(m_stdout); }
    std::string Stderr() { return ReadAll(m_stderr); }

private:
    pid_t m_pid = -1;
    int m_stdin = -1, m_stdout = -1, m_stderr = -1, m_pidfd = -1;
    std::optional<int> m_status;
};

class ModuleProcess : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/varnel-module-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_ports = pattern;
        ::setenv("VARNEL_PORTS", pattern, 1);
    }
    void TearDown() override {
        for (int fd : m_fds) {
            ::close(fd);
        }
        ::unsetenv("VARNEL_PORTS");
        fs::remove_all(m_ports);
    }
    int OpenPort(int com) {
        const int fd = ::open((m_ports / PortDisplayName(com)).c_str(),
                              O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(fd, 0) << std::strerror(errno);
        m_fds.push_back(fd);
        return fd;
    }
    // Writes `send` and returns the hex of the next `replies` frames.
    static std::string Exchange(int fd, const std::string& send, std::size_t replies = 1) {
        const Bytes bytes = Hex(send + " ");
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        return HexBytes(ReadUpTo(fd, replies * kFrameSize));
    }
    bool EntryPresent(int com) const {
        struct stat st {};
        return ::lstat((m_ports / PortDisplayName(com)).c_str(), &st) == 0;
    }

    fs::path m_ports;
    std::vector<int> m_fds;
};

TEST_F(ModuleProcess, AnswersOverItsComEntry) {
    Module module({"--com", "7", "--channel", "45", "--power", "12.34", "--output", "on", "--log"},
                  m_ports);
    const auto ready = module.Ready();
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->first, 7);
    EXPECT_EQ(fs::read_symlink(m_ports / "COM7"), ready->second);
    EXPECT_TRUE(PortExists(7));
    const int fd = OpenPort(7);
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw mode";
    EXPECT_EQ(tio.c_oflag & OPOST, 0u) << "raw mode";

    struct Row {
        const char* name;
        std::string send, reply;
    };
    const Row rows[] = {
        {"query channel", "01 00 01 00 00 02", "01 01 01 00 2D 30"},
        {"query power", "01 00 02 00 00 03", "01 01 02 04 D2 DA"},
        {"query output", "01 00 03 00 00 04", "01 01 03 01 01 07"},
        {"set channel clamped", "00 01 01 00 C8 CA", "01 01 01 00 59 5C"},
        {"set power clamped", "00 01 02 00 64 67", "01 01 02 02 BC C2"},
        {"set output off", "00 01 03 00 00 04", "01 01 03 00 00 05"},
        {"set applied", "01 00 02 00 00 03", "01 01 02 02 BC C2"},
        {"garbage and bad checksum skipped", "FF 55 00 01 01 00 2D 30 01 00 01 00 00 02",
         "01 01 01 00 59 5C"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Exchange(fd, row.send), row.reply) << row.name;
    }
    EXPECT_TRUE(ReadUpTo(fd, 1, 0).empty()) << "nothing but the replies";

    module.CloseStdin();
    EXPECT_EQ(module.Wait(), 0);
    EXPECT_FALSE(EntryPresent(7));
    EXPECT_NE(module.Stderr().find("sent 8 frames, 48 bytes"), std::string::npos);
    const std::string log = module.Stdout();
    EXPECT_NE(log.find("rx  00 01 01 00 C8 CA  set channel 200, clamped to 89"), std::string::npos)
        << log;
    EXPECT_NE(log.find("rx  FF 55              not a frame"), std::string::npos) << log;
}

TEST_F(ModuleProcess, SeededFaultsGiveTheExpectedCounts) {
    ModuleConfig config;
    config.drop = 0.25;
    config.corrupt = 0.25;
    config.seed = 1234;
    constexpr int kQueries = 200;
    FaultInjector fates(config);
    std::size_t expectSent = 0, expectCorrupt = 0;
    for (int i = 0; i < kQueries; ++i) {
        const ReplyFate fate = fates.Next();
        expectSent += fate.drop ? 0 : 1;
        expectCorrupt += !fate.drop && fate.corrupt ? 1 : 0;
    }
    Module module({"--com", "3", "--drop", "0.25", "--corrupt", "0.25", "--seed", "1234"}, m_ports);
    ASSERT_TRUE(module.Ready());
    const int fd = OpenPort(3);
    std::string queries;
    for (int i = 0; i < kQueries; ++i) {
        queries += "01 00 02 00 00 03 ";
    }
    const Bytes got = Hex(Exchange(fd, queries, expectSent) + " ");
    ASSERT_EQ(got.size(), expectSent * kFrameSize);
    std::size_t corrupt = 0;
    for (std::size_t i = 0; i < got.size(); i += kFrameSize) {
        const CommandFrame f{got[i], got[i + 1], got[i + 2], got[i + 3], got[i + 4], got[i + 5]};
        EXPECT_EQ(HexBytes({f.begin(), f.begin() + 5}), "01 01 02 02 BC");
        corrupt += f[5] != FrameChecksum(f) ? 1 : 0;
    }
    EXPECT_EQ(corrupt, expectCorrupt);
    EXPECT_TRUE(ReadUpTo(fd, 1, 0).empty());
    module.Signal(SIGINT);
    EXPECT_EQ(module.Wait(), 0);
    EXPECT_NE(
        module.Stderr().find("sent " + std::to_string(expectSent - expectCorrupt) + " frames"),
        std::string::npos);
}

TEST_F(ModuleProcess, EndsCleanlyAndTakesItsEntryAway) {
    enum class End { Term, StdinEof, Unplug };
    struct Row {
        const char* name;
        std::vector<std::string> args;
        bool stdinPipe;
        End end;
    };
    const Row rows[] = {
        {"SIGTERM, stdin /dev/null", {"--com", "4"}, false, End::Term},
        {"end of input", {"--com", "4"}, true, End::StdinEof},
        {"unplug", {"--com", "4", "--unplug-after", "0.3"}, false, End::Unplug},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Module module(row.args, m_ports, row.stdinPipe);
        ASSERT_TRUE(module.Ready());
        const int fd = OpenPort(4);
        EXPECT_EQ(Exchange(fd, "01 00 03 00 00 04"), "01 01 03 00 00 05");
        if (row.end == End::Term) {
            module.Signal(SIGTERM);
        } else if (row.end == End::StdinEof) {
            module.CloseStdin();
        }
        EXPECT_EQ(module.Wait(), 0);
        EXPECT_FALSE(EntryPresent(4));
        pollfd p{fd, POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, kDeadlineMs), 1);
        EXPECT_TRUE(p.revents & POLLHUP) << "the port hangs up like a pulled adapter";
    }
}

TEST_F(ModuleProcess, NeverReplacesAnEntryItDidNotCreate) {
    Module first({"--com", "6"}, m_ports);
    ASSERT_TRUE(first.Ready());
    fs::create_symlink("/nonexistent/ttyUSB3", m_ports / "COM8");
    for (const char* com : {"6", "8"}) {
        SCOPED_TRACE(com);
        Module second({"--com", com}, m_ports);
        EXPECT_FALSE(second.Ready());
        EXPECT_EQ(second.Wait(), 2);
        EXPECT_NE(second.Stderr().find(std::string("COM") + com + " is already taken"),
                  std::string::npos);
    }
    EXPECT_EQ(fs::read_symlink(m_ports / "COM8"), "/nonexistent/ttyUSB3");
    EXPECT_EQ(Exchange(OpenPort(6), "01 00 01 00 00 02"), "01 01 01 00 01 04");
}

TEST_F(ModuleProcess, DefaultPortIsTheLowestFreeNumber) {
    fs::create_symlink("/nonexistent/ttyUSB3", m_ports / "COM1");
    fs::create_symlink("/nonexistent/ttyUSB4", m_ports / "COM2");
    int expect = 3;
    while (PortExists(expect)) {
        ++expect;
    }
    Module module({}, m_ports);
    const auto ready = module.Ready();
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->first, expect);
}

TEST_F(ModuleProcess, StreamsIntactRepliesAndCountsThem) {
    Module module({"--com", "9", "--stream", "max", "--channel", "12"}, m_ports);
    ASSERT_TRUE(module.Ready());
    const int fd = OpenPort(9);
    const Bytes got = ReadUpTo(fd, 600 * kFrameSize);
    ASSERT_EQ(got.size(), 600 * kFrameSize);
    // Whatever frame the stream was at when we opened, it cycles channel, power, output.
    std::size_t start = 0;
    while (start < got.size() && !(got[start] == 1 && got[start + 1] == 1)) {
        ++start;
    }
    ASSERT_LT(start, kFrameSize);
    for (std::size_t i = start; i + kFrameSize <= got.size(); i += kFrameSize) {
        const CommandFrame f{got[i], got[i + 1], got[i + 2], got[i + 3], got[i + 4], got[i + 5]};
        ASSERT_EQ(KindOf(f), FrameKind::Reply) << i;
        ASSERT_EQ(f[5], FrameChecksum(f)) << i;
    }
    module.CloseStdin();
    EXPECT_EQ(module.Wait(), 0);
    const std::string err = module.Stderr();
    ASSERT_NE(err.find("sent "), std::string::npos) << err;
    unsigned long long frames = 0, bytes = 0;
    ASSERT_EQ(std::sscanf(err.c_str() + err.find("sent "), "sent %llu frames, %llu bytes", &frames,
                          &bytes),
              2)
        << err;
    EXPECT_GE(frames, 600u);
    EXPECT_EQ(bytes, 6 * frames);
}

TEST_F(ModuleProcess, ExitCodesAndMessagesSayWhatToDo) {
    struct Row {
        std::vector<std::string> args;
        const char* ports;
        int code;
        const char* text;
    };
    const Row rows[] = {
        {{"--drop", "2"}, nullptr, 64, "--drop wants a fraction from 0 to 1"},
        {{"--com", "5"}, "/proc/varnel/ports", 1, "Set VARNEL_PORTS to a folder you can write to"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Module module(row.args, row.ports ? fs::path(row.ports) : m_ports);
        EXPECT_EQ(module.Wait(), row.code);
        EXPECT_NE((module.Stdout() + module.Stderr()).find(row.text), std::string::npos);
    }
}

}  // namespace
