// bench_ctl's shared parts: how a figure is printed, the statistics of samples, and the
// blocking SCPI client that the server's figures and the web door's figures talk through.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// How long any answer is waited for.
inline constexpr int kDeadlineMs = 10000;

/// The value `fraction` of the way up `values`; 0 for none.
double Percentile(std::vector<double> values, double fraction);
double Median(std::vector<double> values);
double Worst(const std::vector<double>& values);

/// Prints one figure; `atLeast` for a figure that must reach its limit rather than stay under
/// it. A limit of 0 (a count that must stay 0) has no ratio: the value itself must be 0.
bool Figure(const char* name, double value, double limit, double target, const std::string& note,
            const char* unit = "ms", bool atLeast = false);

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

/// One VXI-11 core call `proc` (a procedure number) with `words`, and `data` for a write.
std::string CodecCall(std::uint32_t proc, const std::vector<std::uint32_t>& words,
                      std::string_view data = {});

/// The SCPI engine alone, `lines` lines of every kind against a module that answers at once.
void EngineFigure(int lines);
/// The VXI-11 codec alone, `calls` calls of a VISA client's query.
void CodecFigure(int calls);
/// The web door's figures, as a page sees them (WebFigures.cpp); false when a request failed.
bool WebFigures(int webPort, int scpiPort, pid_t server, bool smoke);
