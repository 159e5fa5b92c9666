// bench_ctl: varnel-ctl's figures against varnel-module on pseudo-terminals. A get's round
// trip, the time a sweep step costs beyond its dwell, and a whole process that starts, gets
// and exits; each printed with the limit it is compared with and the ratio.
//
// A pty carries bytes without line time, so the figures here are the program's own cost plus
// the module's reply delay; on a 9600-baud line every exchange adds 12 bytes, 12.5 ms.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "CtlCommands.h"
#include "CtlOptions.h"
#include "Monotonic.h"
#include "ModuleQuantity.h"
#include "PortNames.h"
#include "RecordSink.h"
#include "SerialSession.h"

namespace fs = std::filesystem;

namespace {

constexpr double kLineByteMs = 10.0 * 1000.0 / 9600.0;  // 10 bits a byte at 9600 baud
constexpr double kExchangeLineMs = 12 * kLineByteMs;    // one frame out, one back: 12.5 ms
constexpr double kGetTarget = 1.5;                      // x the floor, median
constexpr double kSweepOverheadLimitMs = 20.0;          // per step beyond the dwell
constexpr double kProcessLimitMs = 50.0;                // start, get, exit beyond line time
constexpr int kDeadlineMs = 10000;
constexpr int kFirstCom = 200;  // above the dangling entries and the fixed table

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double Worst(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

void Figure(const char* name, double value, double limit, double target, const std::string& note) {
    const double ratio = limit != 0 ? value / limit : 0;
    std::printf("%-34s %9.3f ms  limit %9.3f ms  ratio %7.4f  target <= %-4g %s  # %s\n", name,
                value, limit, ratio, target, ratio <= target ? "met" : "MISSED", note.c_str());
    std::fflush(stdout);
}

pid_t Spawn(std::vector<std::string> args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Waits for `pid` with a deadline; kills it when the deadline passes. Returns the exit code.
int Reap(pid_t pid) {
    int status = 0;
    for (int ms = 0; ::waitpid(pid, &status, WNOHANG) != pid; ++ms) {
        if (ms == kDeadlineMs) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A private port folder with dangling COM1..COM96, so that nothing here reaches a real
// device, and the modules started in it.
class Bench {
public:
    Bench() {
        char pattern[] = "/tmp/varnel-bench-ctl-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            return;
        }
        m_folder = pattern;
        for (int com = 1; com <= 96; ++com) {
            std::error_code ignored;
            fs::create_symlink("/nonexistent/tty", m_folder / PortDisplayName(com), ignored);
        }
        ::setenv("VARNEL_PORTS", m_folder.c_str(), 1);
    }
    ~Bench() {
        for (const pid_t pid : m_modules) {
            ::kill(pid, SIGTERM);
            Reap(pid);
        }
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    bool Ok() const { return !m_folder.empty(); }

    // Starts a module as COM `com` and waits for its entry; false when it did not appear.
    bool StartModule(int com, const std::string& replyDelayMs) {
        m_modules.push_back(Spawn(
            {VARNEL_MODULE_PATH, "--com", std::to_string(com), "--reply-delay", replyDelayMs}));
        const fs::path entry = m_folder / PortDisplayName(com);
        for (int ms = 0; ms < kDeadlineMs; ++ms) {
            if (fs::is_symlink(entry)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

private:
    fs::path m_folder;
    std::vector<pid_t> m_modules;
};

bool GetRoundTrip(int com, int replyDelayMs, int samples) {
    SerialSession session({}, nullptr);
    std::string error;
    PortTarget target;
    ParsePortTarget(PortDisplayName(com), target);
    if (!session.Open(target, error)) {
        std::printf("# cannot open %s: %s\n", target.label.c_str(), error.c_str());
        return false;
    }
    std::vector<double> times;
    for (int i = -5; i < samples; ++i) {  // five to warm up
        const double start = MonotonicMs();
        const ExchangeResult result = session.Get(Quantity::Channel);
        if (result.status != ExchangeStatus::Ok) {
            std::printf("# get failed: %s\n",
                        DescribeExchangeFailure(false, Quantity::Channel, 0, result).c_str());
            return false;
        }
        if (i >= 0) {
            times.push_back(MonotonicMs() - start);
        }
    }
    const double floor = kExchangeLineMs + replyDelayMs;
    const double median = Median(times);
    char note[200];
    std::snprintf(note, sizeof note,
                  "floor 12.5 ms line + %d ms reply delay; worst %.3f ms of %d; on a 9600 line "
                  "the median would be %.1f ms, ratio %.3f",
                  replyDelayMs, Worst(times), samples, median + kExchangeLineMs,
                  (median + kExchangeLineMs) / floor);
    const std::string name = "get round trip, delay " + std::to_string(replyDelayMs) + " ms";
    Figure(name.c_str(), median, floor, kGetTarget, note);
    return true;
}

bool SweepOverhead(int com, int steps) {
    SerialSession session({}, nullptr);
    std::string error;
    CtlOptions options;
    const std::string list = "1-" + std::to_string(steps);
    if (!ParseCtlOptions({PortDisplayName(com), "sweep", list, "--dwell", "0.02"}, options)
             .empty() ||
        !session.Open(options.port, error)) {
        std::printf("# cannot set up the sweep: %s\n", error.c_str());
        return false;
    }
    std::FILE* sinkFile = std::fopen("/dev/null", "w");
    RecordSink sink(sinkFile, true);
    CtlContext context{session, sink, nullptr, stderr};
    const double start = MonotonicMs();
    const int code = RunModuleCommand(options, context);
    const double perStep = (MonotonicMs() - start) / steps;
    std::fclose(sinkFile);
    if (code != kExitOk) {
        std::printf("# the sweep failed with exit code %d\n", code);
        return false;
    }
    const double overhead = perStep - options.dwellS * 1000.0;
    char note[200];
    std::snprintf(note, sizeof note,
                  "%d steps of 20 ms dwell, each a set and three reads; on a 9600 line their "
                  "line time adds %.1f ms",
                  steps, 4 * kExchangeLineMs);
    Figure("sweep overhead per step", overhead, kSweepOverheadLimitMs, 1.0, note);
    return true;
}

bool ProcessStartGetExit(int com, int samples) {
    std::vector<double> times;
    for (int i = -2; i < samples; ++i) {
        const double start = MonotonicMs();
        const int code = Reap(Spawn({VARNEL_CTL_PATH, PortDisplayName(com), "get"}));
        if (code != 0) {
            std::printf("# varnel-ctl get ended with %d\n", code);
            return false;
        }
        if (i >= 0) {
            times.push_back(MonotonicMs() - start);
        }
    }
    char note[200];
    std::snprintf(note, sizeof note,
                  "median of %d; worst %.3f ms; three exchanges, whose line time (37.5 ms at "
                  "9600) the limit leaves out",
                  samples, Worst(times));
    Figure("process start, get, exit", Median(times), kProcessLimitMs, 1.0, note);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
    if (argc > 1 && !smoke) {
        std::fprintf(stderr, "usage: bench_ctl [--smoke]\n");
        return 64;
    }
    Bench bench;
    if (!bench.Ok() || !bench.StartModule(kFirstCom, "0") ||
        !bench.StartModule(kFirstCom + 1, "20")) {
        std::fprintf(stderr, "bench_ctl: cannot start the modules\n");
        return 1;
    }
    std::printf("# varnel-ctl against varnel-module on ptys (no line time: see the notes)\n");
    const bool ok = GetRoundTrip(kFirstCom, 0, smoke ? 20 : 500) &&
                    GetRoundTrip(kFirstCom + 1, 20, smoke ? 5 : 50) &&
                    SweepOverhead(kFirstCom, smoke ? 5 : kChannelMax) &&
                    ProcessStartGetExit(kFirstCom, smoke ? 3 : 30);
    return ok ? 0 : 1;
}
