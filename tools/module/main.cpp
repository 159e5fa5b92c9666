// varnel-module: the laser module on a pseudo-terminal, published as a COM port.
// This file is the host: signals, standard input and the poll loop. The pty and its port
// entry are PtyPort's; what the module says and when is decided by ModuleCore.
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ModuleCore.h"
#include "ModuleOptions.h"
#include "Monotonic.h"
#include "PtyPort.h"
#include "Voice.h"

namespace {

constexpr int kExitUsage = 64;

// Upper bounds on the work of one loop turn, so signals and input are never starved.
constexpr std::size_t kReadBudget = std::size_t{64} * 1024;
constexpr int kStreamBurst = 256;

std::string Errno() {
    return std::strerror(errno);
}

// Standard input ties the module's life to a launcher's only when it can end: a pipe, a
// FIFO, or the terminal we run in the foreground of (a background job reading its terminal
// would be stopped by SIGTTIN). /dev/null or a file gives EOF at once and is ignored.
bool WatchStdin() {
    struct stat st {};
    if (::fstat(STDIN_FILENO, &st) != 0) {
        return false;
    }
    if (S_ISFIFO(st.st_mode)) {
        return true;
    }
    return S_ISCHR(st.st_mode) && ::isatty(STDIN_FILENO) &&
           ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
}

std::uint64_t FreshSeed() {
    std::uint64_t seed = 0;
    if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
        seed = static_cast<std::uint64_t>(MonotonicMs() * 1000) ^ static_cast<unsigned>(::getpid());
    }
    return seed;
}

// The running module: pty master, core, and the counts reported at the end.
class Host {
public:
    Host(const ModuleOptions& options, int master)
        : m_options(options), m_core(options.module), m_master(master), m_start(MonotonicMs()) {
        // A FIFO reader that stops reading must not stall the module: its log lines drop
        // instead. Lines are far below PIPE_BUF, so each is written whole or not at all.
        struct stat st {};
        if (options.log && ::fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode)) {
            ::fcntl(STDOUT_FILENO, F_SETFL, ::fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
        }
    }

    // Returns the exit code.
    int Run(int signalFd, bool watchStdin) {
        const std::int64_t unplugAt = m_options.unplugAfterMs;
        const bool streamMax = m_options.streamRate == kStreamMax;
        const double streamInterval =
            m_options.streamRate > 0 ? 6000.0 / static_cast<double>(m_options.streamRate) : 0;
        double nextStream = 0;
        for (;;) {
            const double nowExact = MonotonicMs() - m_start;
            const auto now = static_cast<std::int64_t>(nowExact);
            if (unplugAt >= 0 && now >= unplugAt) {
                Say("unplugged after " + std::to_string(unplugAt) + " ms");
                return 0;
            }
            m_core.Advance(now);
            Carry(now);
            if (streamInterval > 0 && m_pending.empty()) {
                // A stalled reader does not earn a burst later: the stream restarts from now.
                if (nextStream < nowExact - 1000) {
                    nextStream = nowExact;
                }
                for (int i = 0; i < kStreamBurst && nextStream <= nowExact; ++i) {
                    m_core.StreamReply();
                    Carry(now);
                    nextStream += streamInterval;
                }
            }

            double due = -1;
            auto consider = [&due](double at) {
                if (at >= 0 && (due < 0 || at < due)) {
                    due = at;
                }
            };
            consider(static_cast<double>(m_core.NextDueMs()));
            consider(static_cast<double>(unplugAt));
            if (streamInterval > 0 && m_pending.empty()) {
                consider(nextStream);
            }
            const int timeout =
                due < 0 ? -1 : static_cast<int>(std::max(0.0, due - nowExact + 0.999));

            pollfd fds[3] = {
                {signalFd, POLLIN, 0},
                {m_master,
                 static_cast<short>(POLLIN | (!m_pending.empty() || streamMax ? POLLOUT : 0)), 0},
                {watchStdin ? STDIN_FILENO : -1, POLLIN, 0},
            };
            if (::poll(fds, 3, timeout) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Say("poll failed: " + Errno());
                return kExitFailure;
            }
            if (fds[0].revents & POLLIN) {
                signalfd_siginfo info{};
                if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                    Say(std::string("stopping on ") +
                        ::strsignal(static_cast<int>(info.ssi_signo)));
                    return 0;
                }
            }
            const auto later = static_cast<std::int64_t>(MonotonicMs() - m_start);
            if (fds[1].revents & POLLIN) {
                if (!ReadMaster(later)) {
                    return kExitFailure;
                }
            } else if (fds[1].revents & (POLLHUP | POLLERR)) {
                Say("the pseudo-terminal hung up");
                return kExitFailure;
            }
            if (fds[1].revents & POLLOUT) {
                FlushPending();
                for (int i = 0; streamMax && i < kStreamBurst && m_pending.empty(); ++i) {
                    m_core.StreamReply();
                    if (!Carry(later)) {
                        break;
                    }
                }
            }
            if (fds[2].revents != 0 && !ReadStdin(watchStdin)) {
                Say("end of input");
                return 0;
            }
            if (m_failed) {
                return kExitFailure;
            }
        }
    }

    void ReportCounts() const {
        Say("sent " + std::to_string(m_framesSent) + " frames, " + std::to_string(m_bytesSent) +
            " bytes");
        if (m_fullDrops > 0) {
            Say(std::to_string(m_fullDrops) + " writes dropped because the pty was full");
        }
        if (m_logDrops > 0) {
            Say(std::to_string(m_logDrops) + " log lines dropped: nobody read standard output");
        }
    }

private:
    bool ReadMaster(std::int64_t now) {
        std::uint8_t buf[4096];
        for (std::size_t total = 0; total < kReadBudget;) {
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n > 0) {
                m_core.Receive(buf, static_cast<std::size_t>(n), now);
                Carry(now);
                total += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return true;
            }
            Say("reading the pseudo-terminal failed: " + (n == 0 ? "hung up" : Errno()));
            return false;
        }
        return true;
    }

    // Returns false at end of input. Whatever is typed is read and discarded.
    bool ReadStdin(bool& watch) {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n == 0) {
            return false;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            watch = false;  // e.g. EIO: the terminal went away from under a background job
        }
        return true;
    }

    // Carries out the core's actions in order. Returns false when a write did not fit.
    bool Carry(std::int64_t now) {
        bool fitted = true;
        for (WireAction& action : m_core.TakeActions()) {
            std::string suffix;
            if (action.dir == WireDir::Tx) {
                switch (Write(action)) {
                    case WriteResult::Whole:
                        break;
                    case WriteResult::Part:
                        suffix = " (rest waits for room in the pty)";
                        break;
                    case WriteResult::None:
                        action.dir = WireDir::Dropped;
                        suffix = " (pty full, not sent)";
                        fitted = false;
                        break;
                }
            }
            Log(now, action, suffix);
        }
        return fitted;
    }

    enum class WriteResult { Whole, Part, None };

    // Never blocks. A frame the pty cannot take is dropped, except that the tail of a frame
    // already begun is kept and finished first, so no frame is ever torn on the wire.
    WriteResult Write(const WireAction& action) {
        FlushPending();
        if (!m_pending.empty() || m_failed) {
            ++m_fullDrops;
            return WriteResult::None;
        }
        const ssize_t n = WriteSome(action.bytes.data(), action.bytes.size());
        if (n <= 0) {
            ++m_fullDrops;
            return WriteResult::None;
        }
        const auto written = static_cast<std::size_t>(n);
        if (written == action.bytes.size()) {
            m_framesSent += action.validReply ? 1 : 0;
            return WriteResult::Whole;
        }
        m_pending.assign(action.bytes.begin() + n, action.bytes.end());
        m_pendingValid = action.validReply;
        return WriteResult::Part;
    }

    void FlushPending() {
        if (m_pending.empty()) {
            return;
        }
        const ssize_t n = WriteSome(m_pending.data(), m_pending.size());
        if (n > 0) {
            m_pending.erase(m_pending.begin(), m_pending.begin() + n);
            if (m_pending.empty() && m_pendingValid) {
                ++m_framesSent;
            }
        }
    }

    ssize_t WriteSome(const std::uint8_t* data, std::size_t size) {
        ssize_t n;
        do {
            n = ::write(m_master, data, size);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            m_bytesSent += static_cast<std::uint64_t>(n);
        } else if (n < 0 && errno != EAGAIN) {
            Say("writing the pseudo-terminal failed: " + Errno());
            m_failed = true;
        }
        return n;
    }

    void Log(std::int64_t now, const WireAction& action, const std::string& suffix) {
        if (!m_options.log) {
            return;
        }
        const std::string line =
            FormatWireLine(now, action.dir, action.bytes, action.meaning) + suffix + "\n";
        ssize_t n;
        do {
            n = ::write(STDOUT_FILENO, line.data(), line.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            ++m_logDrops;
        }
    }

    const ModuleOptions& m_options;
    ModuleCore m_core;
    int m_master;
    double m_start;
    std::vector<std::uint8_t> m_pending;
    bool m_pendingValid = false;
    bool m_failed = false;
    std::uint64_t m_framesSent = 0;
    std::uint64_t m_bytesSent = 0;
    std::uint64_t m_fullDrops = 0;
    std::uint64_t m_logDrops = 0;
};

}  // namespace

int main(int argc, char** argv) {
    ModuleOptions options;
    const std::string error = ParseModuleOptions({argv + 1, argv + argc}, options);
    if (!error.empty()) {
        Say(error);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(ModuleHelpText().c_str(), stdout);
        return 0;
    }
    const ModuleConfig& module = options.module;
    if (!options.seedGiven && (module.drop > 0 || module.corrupt > 0 || module.noise > 0)) {
        options.module.seed = FreshSeed();
        Say("faults seeded with " + std::to_string(options.module.seed) +
            " (pass --seed to repeat this run)");
    }

    // Signals arrive through a descriptor in the poll loop, so clean-up runs in normal code.
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stops, sig);
    }
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    Fd signalFd(::signalfd(-1, &stops, SFD_CLOEXEC));
    for (int sig : {SIGPIPE, SIGTTIN, SIGTTOU}) {
        ::signal(sig, SIG_IGN);
    }
    if (signalFd.Get() < 0) {
        Say("cannot watch signals: " + Errno());
        return kExitFailure;
    }

    Fd master, slave;
    std::string slavePath;
    if (const std::string error = OpenPty(master, slave, slavePath, true); !error.empty()) {
        Say(error);
        return kExitFailure;
    }
    PortEntry entry;
    int com = options.com;
    if (const int code = Publish(com, slavePath, entry); code != 0) {
        return code;
    }
    // The one line a launcher waits for: the port is listed and ready to open.
    std::printf("varnel-module: COM%d -> %s\n", com, slavePath.c_str());
    std::fflush(stdout);

    Host host(options, master.Get());
    const int code = host.Run(signalFd.Get(), WatchStdin());
    // Hang up first, as a pulled adapter does, then take the port off the list.
    master.Close();
    slave.Close();
    entry.Remove();
    host.ReportCounts();
    return code;
}
