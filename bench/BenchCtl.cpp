// bench_ctl: varnel-ctl's figures against varnel-module on pseudo-terminals. A get's round
// trip, the time a sweep step costs beyond its dwell, a whole process that starts, gets and
// exits, and `varnel-ctl serve` as an SCPI instrument on loopback TCP, through the raw socket and
// through the VXI-11 core channel (a local answer, a module query against the direct get, four
// clients at once), its web door as a page polls it (a state request, the server's CPU meanwhile,
// a change made over SCPI reaching the page), the engine alone and the VXI-11 codec alone; each
// printed with the limit it is compared with and the ratio (the engine and codec figures in
// InProcessFigures.cpp, the web door's in WebFigures.cpp).
//
// A pty carries bytes without line time, so the figures here are the program's own cost plus
// the module's reply delay; on a 9600-baud line every exchange adds 12 bytes, 12.5 ms.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CtlBench.h"
#include "CtlCommands.h"
#include "CtlOptions.h"
#include "ModuleQuantity.h"
#include "Monotonic.h"
#include "PortArgument.h"
#include "PortFolder.h"
#include "PortNames.h"
#include "Process.h"
#include "RecordMarking.h"
#include "RecordSink.h"
#include "Rpc.h"
#include "SerialSession.h"
#include "Vxi11Service.h"

namespace fs = std::filesystem;

namespace {

constexpr double kLineByteMs = 10.0 * 1000.0 / 9600.0;  // 10 bits a byte at 9600 baud
constexpr double kExchangeLineMs = 12 * kLineByteMs;    // one frame out, one back: 12.5 ms
constexpr double kGetTarget = 1.5;                      // x the floor, median
constexpr double kSweepOverheadLimitMs = 20.0;          // per step beyond the dwell
constexpr double kProcessLimitMs = 50.0;                // start, get, exit beyond line time
constexpr double kIdnLimitMs = 0.5;                     // *IDN? round trip, median
constexpr double kServeAddedLimitMs = 1.0;              // a module query beyond the direct get
constexpr double kVxiIdnLimitMs = 1.0;                  // VXI-11 *IDN? round trip, median
constexpr int kClients = 4;
constexpr int kFirstCom = 200;  // above the dangling entries and the fixed table

// Runs varnel-ctl with `args` to its end; its exit code, -1 when it did not end in time.
int RunCtl(const std::vector<std::string>& args) {
    testkit::Process ctl;
    return ctl.Start(VARNEL_CTL_PATH, args, {.inputPipe = false}) ? ctl.Wait(kDeadlineMs) : -1;
}

// The port at the end of `line` ("...:PORT" or "...:PORT/"), 0 for none.
int PortAtEnd(const std::optional<std::string>& line) {
    return line ? std::atoi(line->c_str() + line->rfind(':') + 1) : 0;
}

// Starts `varnel-ctl serve` on COM `com`, listening on a free loopback port; that port, or 0
// when it did not say it serves. `doorPort` gets its VXI-11 core channel's port, or with `web`
// (a web door on a free port and no VXI-11) the web door's; 0 when it has none.
int StartServer(testkit::Process& server, int com, int& doorPort, bool web) {
    std::vector<std::string> args{"serve",          PortDisplayName(com), "--listen", "127.0.0.1:0",
                                  "--direct",       "--max-clients",      "16",       "--http",
                                  web ? "0" : "off"};  // never port 80
    if (web) {
        args.emplace_back("--no-vxi11");
    }
    if (!server.Start(VARNEL_CTL_PATH, args)) {
        return 0;
    }
    const int port = PortAtEnd(server.WaitForLine("serving", kDeadlineMs));
    doorPort = PortAtEnd(server.WaitForLine(web ? "web page on" : "VXI-11", kDeadlineMs));
    return port;
}

// A blocking VXI-11 client on loopback, straight to the core channel: one link, each line one
// write with END and one read of its answer (as PyVISA's query), Ask as ScpiClient's.
class VxiClient {
public:
    explicit VxiClient(int corePort) : m_socket(corePort) {
        const std::string results = Call(10, {0, 0, 0, 5, 0x696e7374, 0x30000000});
        vxi11::XdrReader reply(results);
        m_ok = reply.I32() == 0 && reply.Ok();
        m_lid = reply.U32();
    }
    std::string Ask(const std::string& line) {
        if (!m_ok || Call(11, {m_lid, 1000, 1000, 8}, line + "\n").empty()) {
            return "<none>";
        }
        const std::string results = Call(12, {m_lid, 4096, 1000, 1000, 0, 0});
        vxi11::XdrReader reply(results);
        const bool ok = reply.I32() == 0 && (reply.I32() & 4) != 0;
        const std::string_view data = reply.Opaque(4096);
        return ok && reply.Ok() && !data.empty() ? std::string(data.substr(0, data.size() - 1))
                                                 : "<none>";
    }

private:
    // The results of one call, empty when no reply came.
    std::string Call(std::uint32_t proc, const std::vector<std::uint32_t>& words,
                     std::string_view data = {}) {
        const std::string call = CodecCall(proc, words, data);
        if (!m_socket.SendRaw(call)) {
            return {};
        }
        for (;;) {
            std::string_view chunk = m_pending;
            if (m_records.Next(chunk) == vxi11::RecordStatus::Record) {
                m_pending.erase(0, m_pending.size() - chunk.size());
                std::string_view results;
                return vxi11::ReadSuccessReply(m_records.Record(), proc, results)
                           ? std::string(results)
                           : std::string();
            }
            m_pending.clear();
            if (!m_socket.ReceiveRaw(m_pending)) {
                return {};
            }
        }
    }

    ScpiClient m_socket;
    vxi11::RecordReassembler m_records{1 << 20};
    std::string m_pending;
    std::uint32_t m_lid = 0;
    bool m_ok = false;
};

// The median time of `samples` round trips of `line`, after five to warm up; -1 when an
// answer did not start with `expected`.
template <typename Client>
double ScpiRoundTrip(Client& client, const std::string& line, const std::string& expected,
                     int samples) {
    std::vector<double> times;
    for (int i = -5; i < samples; ++i) {
        const double start = MonotonicMs();
        if (client.Ask(line).rfind(expected, 0) != 0) {
            std::printf("# %s: no answer starting with %s\n", line.c_str(), expected.c_str());
            return -1;
        }
        if (i >= 0) {
            times.push_back(MonotonicMs() - start);
        }
    }
    return Median(times);
}

// The server's figures through one door (`door` names it: "serve" for the raw socket, "vxi11"),
// against a module of its own. Its module queries alternate with the same get made by
// varnel-ctl's session on `directCom`, so that both meet the same machine load.
template <typename Client>
bool ServeFigures(const std::string& door, int port, int directCom, int samples,
                  double idnLimitMs) {
    double idn = -1;
    std::vector<double> query;
    std::vector<double> direct;
    {
        Client client(port);  // gone before the four: the server takes four at most
        idn = ScpiRoundTrip(client, "*IDN?", "Varnel,", samples);
        SerialSession session({}, nullptr);
        PortTarget target;
        std::string error;
        ParsePortTarget(PortDisplayName(directCom), target);
        const bool open = session.Open(target, error);
        for (int i = -5; i < samples && idn >= 0 && open; ++i) {
            double start = MonotonicMs();
            if (client.Ask("CHAN?") != "1") {
                break;
            }
            const double served = MonotonicMs() - start;
            start = MonotonicMs();
            if (session.Get(Quantity::Channel).status != ExchangeStatus::Ok) {
                break;
            }
            if (i >= 0) {
                query.push_back(served);
                direct.push_back(MonotonicMs() - start);
            }
        }
    }
    if (idn < 0 || query.size() != static_cast<std::size_t>(samples)) {
        std::printf("# a module query through the server or direct failed\n");
        return false;
    }
    const double directGetMs = Median(direct);
    const double queryMs = Median(query);
    Figure((door + " *IDN? round trip").c_str(), idn, idnLimitMs, 1.0,
           "median of " + std::to_string(samples) + ", answered without the module");
    char note[200];
    std::snprintf(note, sizeof note,
                  "CHAN? through the server %.3f ms, the same get direct %.3f ms (medians of %d, "
                  "alternating)",
                  queryMs, directGetMs, samples);
    Figure((door + " module query, added").c_str(), queryMs - directGetMs, kServeAddedLimitMs, 1.0,
           note);

    // Each client marks its connection with its own event-enable value and asks for it beside
    // a module query: an answer carrying another client's mark crossed over.
    std::atomic<int> bad{0};
    const double start = MonotonicMs();
    std::vector<std::thread> threads;
    for (int id = 1; id <= kClients; ++id) {
        threads.emplace_back([&, id] {
            Client mine(port);
            const std::string mark = std::to_string(id * 4);
            for (int i = 0; i <= samples; ++i) {
                const std::string answer =
                    mine.Ask(i == 0 ? "*ESE " + mark + ";*ESE?" : "CHAN?;*ESE?;:SYST:ERR?");
                const std::string expected = i == 0 ? mark : "1;" + mark + ";0,\"No error\"";
                if (answer != expected && bad++ == 0) {
                    std::printf("# client %d got %s\n", id, answer.c_str());
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::snprintf(note, sizeof note,
                  "%d clients x %d queries at once in %.1f ms; a wrong or "
                  "crossed answer counts",
                  kClients, samples, MonotonicMs() - start);
    return Figure((door + " 4 clients, wrong answers").c_str(), bad.load(), 0, 0, note, "") &&
           bad == 0;
}

// The median of `samples` gets, printed as a figure; -1 when a get failed.
double GetRoundTrip(int com, int replyDelayMs, int samples) {
    SerialSession session({}, nullptr);
    std::string error;
    PortTarget target;
    ParsePortTarget(PortDisplayName(com), target);
    if (!session.Open(target, error)) {
        std::printf("# cannot open %s: %s\n", target.label.c_str(), error.c_str());
        return -1;
    }
    std::vector<double> times;
    for (int i = -5; i < samples; ++i) {  // five to warm up
        const double start = MonotonicMs();
        const ExchangeResult result = session.Get(Quantity::Channel);
        if (result.status != ExchangeStatus::Ok) {
            std::printf("# get failed: %s\n",
                        DescribeExchangeFailure(false, Quantity::Channel, 0, result).c_str());
            return -1;
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
    return median;
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
    testkit::Process modules[4];
    testkit::Process server;
    testkit::Process webServer;
    if (!folder.Ok() ||
        !testkit::StartModule(modules[0], VARNEL_MODULE_PATH, kFirstCom, {"--reply-delay", "0"}) ||
        !testkit::StartModule(modules[1], VARNEL_MODULE_PATH, kFirstCom + 1,
                              {"--reply-delay", "20"}) ||
        !testkit::StartModule(modules[2], VARNEL_MODULE_PATH, kFirstCom + 2,
                              {"--reply-delay", "0"}) ||
        !testkit::StartModule(modules[3], VARNEL_MODULE_PATH, kFirstCom + 3,
                              {"--reply-delay", "0"})) {
        std::fprintf(stderr, "bench_ctl: cannot start the modules\n");
        return 1;
    }
    int corePort = 0;
    int webPort = 0;
    const int servePort = StartServer(server, kFirstCom + 2, corePort, false);
    const int webScpiPort = StartServer(webServer, kFirstCom + 3, webPort, true);
    if (servePort == 0 || corePort == 0 || webScpiPort == 0 || webPort == 0) {
        std::fprintf(stderr, "bench_ctl: varnel-ctl serve did not start\n");
        return 1;
    }
    std::printf("# varnel-ctl against varnel-module on ptys (no line time: see the notes)\n");
    const bool ok =
        GetRoundTrip(kFirstCom, 0, smoke ? 20 : 500) >= 0 &&
        GetRoundTrip(kFirstCom + 1, 20, smoke ? 5 : 50) >= 0 &&
        SweepOverhead(kFirstCom, smoke ? 5 : kChannelMax) &&
        ProcessStartGetExit(kFirstCom, smoke ? 3 : 30) &&
        ServeFigures<ScpiClient>("serve", servePort, kFirstCom, smoke ? 20 : 500, kIdnLimitMs) &&
        ServeFigures<VxiClient>("vxi11", corePort, kFirstCom, smoke ? 20 : 500, kVxiIdnLimitMs) &&
        WebFigures(webPort, webScpiPort, webServer.Pid(), smoke);
    EngineFigure(smoke ? 100000 : 4000000);
    CodecFigure(smoke ? 100000 : 3000000);
    return ok ? 0 : 1;
}
