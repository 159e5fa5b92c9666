// bench_ctl: varnel-ctl's figures against varnel-module on pseudo-terminals. A get's round
// trip, the time a sweep step costs beyond its dwell, and a whole process that starts, gets
// and exits; each printed with the limit it is compared with and the ratio.
//
// A pty carries bytes without line time, so the figures here are the program's own cost plus
// the module's reply delay; on a 9600-baud line every exchange adds 12 bytes, 12.5 ms.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CtlCommands.h"
#include "CtlOptions.h"
#include "ModuleQuantity.h"
#include "Monotonic.h"
#include "PortFolder.h"
#include "PortNames.h"
#include "Process.h"
#include "RecordSink.h"
#include "SerialSession.h"

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

// Runs varnel-ctl with `args` to its end; its exit code, -1 when it did not end in time.
int RunCtl(const std::vector<std::string>& args) {
    testkit::Process ctl;
    return ctl.Start(VARNEL_CTL_PATH, args, {.inputPipe = false}) ? ctl.Wait(kDeadlineMs) : -1;
}

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
        const int code = RunCtl({PortDisplayName(com), "get"});
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
    // A private port folder with dangling COM1..COM96: nothing here reaches a real device.
    testkit::PortFolder folder;
    testkit::Process modules[2];
    if (!folder.Ok() ||
        !testkit::StartModule(modules[0], VARNEL_MODULE_PATH, kFirstCom, {"--reply-delay", "0"}) ||
        !testkit::StartModule(modules[1], VARNEL_MODULE_PATH, kFirstCom + 1,
                              {"--reply-delay", "20"})) {
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
