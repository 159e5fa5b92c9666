// bench_ctl's figures of serve's web door, as a page polling it sees them.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "CtlBench.h"
#include "ModuleQuantity.h"
#include "Monotonic.h"

namespace {

namespace fs = std::filesystem;

constexpr double kStateLimitMs = 2.0;          // the page's state request, median
constexpr double kWebIdleCpuLimit = 0.1;       // % of a core, a page polling
constexpr double kChangeSeenLimitMs = 1000.0;  // an SCPI setting shown on the page
constexpr int kPagePollMs = 500;               // as the page polls

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

}  // namespace

// The state request on a kept-alive connection, the server's CPU while the page polls, and a
// setting made over SCPI reaching the polling page.
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
