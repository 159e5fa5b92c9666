// bench_ctl: varnel-ctl's figures against varnel-module on pseudo-terminals. A get's round
// trip, the time a sweep step costs beyond its dwell, a whole process that starts, gets and
// exits, and `varnel-ctl serve` as an SCPI instrument on loopback TCP, through the raw socket and
// through the VXI-11 core channel (a local answer, a module query against the direct get, four
// clients at once), its web door as a page polls it (a state request, the server's CPU meanwhile,
// a change made over SCPI reaching the page), the engine alone and the VXI-11 codec alone; each
// printed with the limit it is compared with and the ratio.
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
#include "ScpiEngine.h"
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
constexpr double kEngineLinesLimit = 1e6;               // lines a second, at least
constexpr double kCodecCallsLimit = 1e6;                // VXI-11 calls a second, at least
constexpr double kVxiIdnLimitMs = 1.0;                  // VXI-11 *IDN? round trip, median
constexpr double kStateLimitMs = 2.0;                   // the page's state request, median
constexpr double kWebIdleCpuLimit = 0.1;                // % of a core, a page polling
constexpr double kChangeSeenLimitMs = 1000.0;           // an SCPI setting shown on the page
constexpr int kPagePollMs = 500;                        // as the page polls
constexpr int kClients = 4;
constexpr int kDeadlineMs = 10000;
constexpr int kFirstCom = 200;  // above the dangling entries and the fixed table

// The value `fraction` of the way up `values`; 0 for none.
double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size()));
    return values[std::min(at, values.size() - 1)];
}

double Median(std::vector<double> values) {
    return Percentile(std::move(values), 0.5);
}

double Worst(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// Prints one figure; `atLeast` for a figure that must reach its limit rather than stay under
// it. A limit of 0 (a count that must stay 0) has no ratio: the value itself must be 0.
bool Figure(const char* name, double value, double limit, double target, const std::string& note,
            const char* unit = "ms", bool atLeast = false) {
    const double ratio = limit != 0 ? value / limit : value;
    const bool met = atLeast ? ratio >= target : ratio <= target;
    std::printf("%-34s %9.3f %-3s limit %9.3f %-3s ratio %7.4f  target %s %-4g %s  # %s\n", name,
                value, unit, limit, unit, ratio, atLeast ? ">=" : "<=", target,
                met ? "met" : "MISSED", note.c_str());
    std::fflush(stdout);
    return met;
}

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

// A blocking SCPI client on loopback: one line out, one answer back.
class ScpiClient {
public:
    explicit ScpiClient(int port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_ok = ::connect(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    }
    ~ScpiClient() { ::close(m_fd); }
    ScpiClient(const ScpiClient&) = delete;
    ScpiClient& operator=(const ScpiClient&) = delete;

    // The answer to `line` without its LF; "<none>" when none came within the deadline.
    std::string Ask(const std::string& line) {
        const std::string message = line + "\n";
        if (!m_ok || ::send(m_fd, message.data(), message.size(), MSG_NOSIGNAL) !=
                         static_cast<ssize_t>(message.size())) {
            return "<none>";
        }
        for (;;) {
            if (const std::size_t lf = m_in.find('\n'); lf != std::string::npos) {
                std::string answer = m_in.substr(0, lf);
                m_in.erase(0, lf + 1);
                return answer;
            }
            char buffer[512];
            pollfd ready{m_fd, POLLIN, 0};
            const ssize_t got =
                ::poll(&ready, 1, kDeadlineMs) == 1 ? ::recv(m_fd, buffer, sizeof buffer, 0) : 0;
            if (got <= 0) {
                return "<none>";
            }
            m_in.append(buffer, static_cast<std::size_t>(got));
        }
    }

    // Raw bytes out, and what came in (appended) within the deadline: for the VXI-11 client.
    bool SendRaw(const std::string& bytes) {
        return m_ok && ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(bytes.size());
    }
    bool ReceiveRaw(std::string& into) {
        char buffer[4096];
        pollfd ready{m_fd, POLLIN, 0};
        const ssize_t got =
            ::poll(&ready, 1, kDeadlineMs) == 1 ? ::recv(m_fd, buffer, sizeof buffer, 0) : 0;
        into.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        return got > 0;
    }

private:
    int m_fd;
    bool m_ok = false;
    std::string m_in;
};

std::string CodecCall(std::uint32_t proc, const std::vector<std::uint32_t>& words,
                      std::string_view data = {});

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

// A page's kept-alive HTTP/1.1 connection, as a browser polls on it.
class PageClient {
public:
    explicit PageClient(int port)
        : m_socket(port),
          m_request("GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nAccept: */*\r\n\r\n") {}

    // The body of a 200 answer to GET /api/state; empty when none came within the deadline.
    std::string State() {
        if (!m_socket.SendRaw(m_request)) {
            return {};
        }
        for (;;) {
            const std::size_t head = m_in.find("\r\n\r\n");
            const std::size_t length = m_in.find("Content-Length: ");
            if (head != std::string::npos && length < head) {
                const std::size_t end = head + 4 + std::strtoul(&m_in[length + 16], nullptr, 10);
                if (m_in.size() >= end) {
                    std::string body = m_in.rfind("HTTP/1.1 200 ", 0) == 0
                                           ? m_in.substr(head + 4, end - head - 4)
                                           : std::string();
                    m_in.erase(0, end);
                    return body;
                }
            }
            if (!m_socket.ReceiveRaw(m_in)) {
                return {};
            }
        }
    }

private:
    ScpiClient m_socket;
    std::string m_request;
    std::string m_in;
};

double TickMs() {
    return 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The CPU time process `pid` has used, in ms: /proc/PID/stat's utime and stime (fields 14 and
// 15, in whole clock ticks, 0.1 % of a core over 10 s) or, `precise`, the sum of its threads'
// run times in ns from schedstat (the server's threads live as long as it does).
double CpuMs(pid_t pid, bool precise) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    if (precise) {
        double ms = 0;
        std::error_code error;
        for (const fs::directory_entry& task : fs::directory_iterator(proc / "task", error)) {
            std::ifstream schedstat(task.path() / "schedstat");
            double ns = 0;
            schedstat >> ns;
            ms += ns / 1e6;
        }
        return ms;
    }
    std::ifstream stat(proc / "stat");
    const std::string text(std::istreambuf_iterator<char>(stat), {});
    std::istringstream fields(text.substr(text.rfind(')') + 1));  // past the command's name
    std::string skipped;
    for (int field = 3; field < 14; ++field) {
        fields >> skipped;
    }
    double user = 0;
    double system = 0;
    fields >> user >> system;
    return (user + system) * TickMs();
}

// The web door's figures, as a page sees them: its state request on a kept-alive connection,
// the server's CPU while the page polls, and a setting made over SCPI reaching the polling page.
bool WebFigures(int webPort, int scpiPort, pid_t server, bool smoke) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kPoll = std::chrono::milliseconds(kPagePollMs);
    const int samples = smoke ? 20 : 500;  // under the requests the door takes on one connection
    std::vector<double> times;
    PageClient page(webPort);
    for (int i = -5; i < samples; ++i) {
        const double start = MonotonicMs();
        if (page.State().find("\"version\"") == std::string::npos) {
            std::printf("# no state from the web door\n");
            return false;
        }
        if (i >= 0) {
            times.push_back(MonotonicMs() - start);
        }
    }
    char note[200];
    std::snprintf(note, sizeof note,
                  "median of %d on one kept-alive connection; 95th percentile %.3f ms, worst %.3f",
                  samples, Percentile(times, 0.95), Worst(times));
    Figure("web state request", Median(times), kStateLimitMs, 1.0, note);

    // The page polls; the door reads the module for it meanwhile.
    auto poll = Clock::now();
    const auto Poll = [&] {
        std::this_thread::sleep_until(poll);
        poll += kPoll;
        return page.State();
    };
    const int polls = (smoke ? 2000 : 10000) / kPagePollMs;
    const double cpu = CpuMs(server, true);
    const double tickedCpu = CpuMs(server, false);
    const double start = MonotonicMs();
    for (int i = 0; i < polls; ++i) {
        if (Poll().empty()) {
            std::printf("# a poll of the page's state failed\n");
            return false;
        }
    }
    std::this_thread::sleep_until(poll);
    const double wallMs = MonotonicMs() - start;
    std::snprintf(note, sizeof note,
                  "threads' run time, %d polls over %.1f s; /proc stat's utime+stime say %.2f %% "
                  "in ticks of %.2f %% here",
                  polls, wallMs / 1000.0, 100.0 * (CpuMs(server, false) - tickedCpu) / wallMs,
                  100.0 * TickMs() / wallMs);
    Figure("web idle cpu, page polling", 100.0 * (CpuMs(server, true) - cpu) / wallMs,
           kWebIdleCpuLimit, 1.0, note, "%");

    // Another client sets the channel over SCPI at a different point of the poll cycle each
    // time; from its answer to the first poll that shows the new channel.
    ScpiClient setter(scpiPort);
    std::vector<double> seen;
    const int changes = smoke ? 3 : 15;
    for (int i = 0; i < changes; ++i) {
        const std::string channel = std::to_string(kChannelMin + 10 + i);
        Poll();
        std::this_thread::sleep_until(poll - kPoll +
                                      std::chrono::milliseconds((13 + 97 * i) % kPagePollMs));
        if (setter.Ask("CHAN " + channel + ";*OPC?") != "1") {
            std::printf("# setting channel %s over SCPI failed\n", channel.c_str());
            return false;
        }
        const double set = MonotonicMs();
        for (std::string state; state.find("\"number\":" + channel + ",") == std::string::npos;) {
            state = Poll();
            if (state.empty() || MonotonicMs() - set > kDeadlineMs) {
                std::printf("# the page did not see channel %s: %s\n", channel.c_str(),
                            state.c_str());
                return false;
            }
        }
        seen.push_back(MonotonicMs() - set);
    }
    std::snprintf(note, sizeof note,
                  "worst of %d SCPI settings; polled every %d ms, as the page polls", changes,
                  kPagePollMs);
    Figure("web change seen, worst", Worst(seen), kChangeSeenLimitMs, 1.0, note);
    std::snprintf(note, sizeof note, "median of the same %d", changes);
    Figure("web change seen, median", Median(seen), kChangeSeenLimitMs, 1.0, note);
    return true;
}

// The engine alone: lines of every kind against a module that answers at once.
class InstantHost final : public scpi::EngineHost {
public:
    void Answer(std::string_view message) override { bytes += message.size(); }
    void Request(const ModuleRequest& request) override {
        engine->Complete({ExchangeStatus::Ok, request.isSet ? request.value : kChannelMin, 1, {}});
    }
    void Setting(std::string_view) override {}
    scpi::Engine* engine = nullptr;
    std::size_t bytes = 0;
};

void EngineFigure(int lines) {
    const std::string mix =
        "*IDN?\nSOUR:CHAN 12\nCHAN?\nFREQ 193.9THZ\nPOW 9.5;:OUTP ON\nWAV?\n*OPC?\n"
        "SYST:ERR?\n";
    const int perMix = 8;
    std::string input;
    for (int i = 0; i < 64; ++i) {
        input += mix;
    }
    InstantHost host;
    scpi::Engine engine({"Varnel,Bench,0,0", false}, host);
    host.engine = &engine;
    const int rounds = std::max(1, lines / (64 * perMix));
    const double start = MonotonicMs();
    for (int i = 0; i < rounds; ++i) {
        engine.Feed(input);
    }
    const double seconds = (MonotonicMs() - start) / 1000.0;
    const double rate = rounds * 64.0 * perMix / seconds;
    char note[200];
    std::snprintf(note, sizeof note, "%d lines of 8 kinds (settings, queries, chains) in %.1f ms",
                  rounds * 64 * perMix, seconds * 1000.0);
    Figure("scpi engine lines per second", rate / 1e6, kEngineLinesLimit / 1e6, 1.0, note, "M",
           true);
}

// The VXI-11 codec alone: the calls a VISA client makes for a query (write with END, read,
// status byte) as one TCP stream, decoded, run on a link that answers at once, and answered.
class AnsweringLink final : public vxi11::LinkInstrument {
public:
    AnsweringLink(vxi11::Device& device, vxi11::LinkId lid) : m_device(device), m_lid(lid) {}
    void Feed(std::string_view) override { m_device.Answer(m_lid, "Varnel,Bench,0,0\n"); }
    bool Waiting() const override { return false; }
    std::uint8_t StatusByte() const override { return 0; }
    void Clear() override {}

private:
    vxi11::Device& m_device;
    vxi11::LinkId m_lid;
};

class CodecHost final : public vxi11::ServiceHost {
public:
    CodecHost() : service({}, *this) {}
    std::optional<int> FindInstrument(std::string_view) override { return 0; }
    std::unique_ptr<vxi11::LinkInstrument> OpenLink(int, vxi11::LinkId lid) override {
        return std::make_unique<AnsweringLink>(service.Core(), lid);
    }
    void Send(vxi11::ConnectionId, std::string) override { ++replies; }
    vxi11::Service service;
    std::size_t replies = 0;
};

std::string CodecCall(std::uint32_t proc, const std::vector<std::uint32_t>& words,
                      std::string_view data) {
    vxi11::XdrWriter call = vxi11::BeginCall(proc, vxi11::kCoreProgram, 1, proc, true);
    for (const std::uint32_t word : words) {
        call.U32(word);
    }
    if (proc == 11) {
        call.Opaque(data);
    }
    return call.Take();
}

void CodecFigure(int calls) {
    CodecHost link;
    vxi11::RecordReassembler records(link.service.MaxRecordBytes());
    link.service.Receive(1, records, CodecCall(10, {0, 0, 0, 5, 0x696e7374, 0x30000000}), 0);
    std::string input;
    const int perQuery = 3;
    for (int i = 0; i < 64; ++i) {
        input += CodecCall(11, {1, 1000, 1000, 8}, "*IDN?\n") +
                 CodecCall(12, {1, 1024, 1000, 1000, 0, 0}) + CodecCall(13, {1, 0, 1000, 1000});
    }
    const int rounds = std::max(1, calls / (64 * perQuery));
    link.replies = 0;
    const double start = MonotonicMs();
    for (int i = 0; i < rounds; ++i) {
        link.service.Receive(1, records, input, 0);
    }
    const double seconds = (MonotonicMs() - start) / 1000.0;
    const double rate = static_cast<double>(link.replies) / seconds;
    char note[200];
    std::snprintf(note, sizeof note, "%zu calls (write, read, readstb) answered in %.1f ms",
                  link.replies, seconds * 1000.0);
    Figure("vxi11 codec calls per second", rate / 1e6, kCodecCallsLimit / 1e6, 1.0, note, "M",
           true);
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
