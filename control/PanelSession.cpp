#include "PanelSession.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "ControlProtocol.h"
#include "ControlSocketPath.h"
#include "PortNames.h"
#include "PosixPortNames.h"
#include "ReadoutText.h"
#include "StopCheck.h"

namespace {

using Json = nlohmann::json;

// A hello is answered at once by a panel that is there.
constexpr int kHelloWaitMs = 1000;

// The text the operator would type for `value`: "45", "8.20", "on".
std::string EntryText(Quantity quantity, int value) {
    return quantity == Quantity::Power ? PowerText(value) : FormatQuantity(quantity, value);
}

bool SendAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t sent = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

// Reads one line from `fd` into `line` within `ms`; `buffer` keeps what came after it.
// 1: a line; 0: timeout; -1: closed or failed; -2: stopped by a signal.
int ReadLine(int fd, std::string& buffer, std::string& line, int ms, StopCheck* stop) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (const std::size_t end = buffer.find('\n'); end != std::string::npos) {
            line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return 1;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        // One look without waiting even when the time is up: what is there is still read.
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop != nullptr ? stop->Fd() : -1, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(std::max<long long>(left, 0)));
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
        if (ready == 0 && left <= 0) {
            return 0;
        }
        if (stop != nullptr && stop->Fd() >= 0 && stop->Aborting()) {
            return -2;
        }
        if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char chunk[4096];
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got <= 0 && !(got < 0 && errno == EINTR)) {
                return -1;
            }
            buffer.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
            if (buffer.size() > 2 * kMaxControlLine && buffer.find('\n') == std::string::npos) {
                return -1;  // not a panel's answer
            }
        }
    }
}

bool Hello(const std::string& socket, PanelInfo& panel) {
    const int fd = ConnectControlSocket(socket);
    if (fd < 0) {
        return false;
    }
    std::string buffer;
    std::string line;
    const bool answered =
        SendAll(fd, FormatControlRequest({ControlCommand::Hello, {}, false, {}}) + "\n") &&
        ReadLine(fd, buffer, line, kHelloWaitMs, nullptr) == 1;
    ::close(fd);
    return answered && ReadHelloAnswer(line, socket, panel);
}

// What every answer shares: a JSON object with a boolean "ok". Nothing for anything else.
std::optional<Json> AnswerObject(const std::string& line) {
    Json json = Json::parse(line, nullptr, false);
    const auto ok = json.is_object() ? json.find("ok") : json.end();
    if (!json.is_object() || ok == json.end() || !ok->is_boolean()) {
        return std::nullopt;
    }
    return json;
}

// The string field `key`: `fallback` when absent, nothing when it is not a string.
std::optional<std::string> StringField(const Json& json, const char* key, std::string fallback) {
    const auto field = json.find(key);
    if (field == json.end()) {
        return fallback;
    }
    if (!field->is_string()) {
        return std::nullopt;
    }
    return field->get<std::string>();
}

constexpr char kUnreadable[] = "the panel answered something unreadable";

}  // namespace

std::vector<PanelInfo> ListPanels() {
    std::vector<PanelInfo> panels;
    for (const std::string& socket : ListControlSockets(ControlFolder())) {
        PanelInfo panel;
        if (Hello(socket, panel)) {
            panels.push_back(panel);
        }
    }
    return panels;
}

bool FindPanelFor(const PortTarget& target, PanelInfo& panel) {
    const std::string device =
        ResolvedPath(target.com != 0 ? PortDevicePath(target.com) : target.path);
    for (const PanelInfo& candidate : ListPanels()) {
        if ((!device.empty() && candidate.device == device) ||
            (target.com != 0 && device.empty() && candidate.port == target.label)) {
            panel = candidate;
            return true;
        }
    }
    return false;
}

PanelSession::PanelSession(StopCheck* stop, bool fresh) : m_stop(stop), m_fresh(fresh) {}

PanelSession::~PanelSession() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool PanelSession::Connect(const PanelInfo& panel, std::string& error) {
    m_fd = ConnectControlSocket(panel.socket);
    if (m_fd < 0) {
        error = "cannot reach the panel (PID " + std::to_string(panel.pid) + ") that holds " +
                panel.port + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

ExchangeResult PanelSession::Ask(const std::string& request, std::string& answer) {
    ExchangeResult result;
    result.tries = 1;
    // A panel that stopped serving has left its reason as the last line: read it even when
    // the request could no longer be sent.
    const bool sent = SendAll(m_fd, request + "\n");
    switch (ReadLine(m_fd, m_in, answer, sent ? kAnswerWaitMs : 0, m_stop)) {
        case 1:
            result.status = ExchangeStatus::Ok;
            return result;
        case 0:
            if (!sent) {
                result.status = ExchangeStatus::PortLost;
                result.detail = "the panel closed its control socket";
                return result;
            }
            result.detail = "no answer from the panel";
            return result;
        case -2:
            result.status = ExchangeStatus::Interrupted;
            return result;
        default:
            result.status = ExchangeStatus::PortLost;
            result.detail = "the panel closed its control socket (it ended, or closed the port)";
            return result;
    }
}

bool ReadHelloAnswer(const std::string& line, const std::string& socket, PanelInfo& panel) {
    const std::optional<Json> json = AnswerObject(line);
    if (!json || !json->at("ok").get<bool>()) {
        return false;
    }
    const auto pid = json->find("pid");
    const auto synced = json->find("synced");
    const std::optional<std::string> port = StringField(*json, "port", "");
    const std::optional<std::string> device = StringField(*json, "device", "");
    if (pid == json->end() || !pid->is_number_integer() || *pid <= 0 ||
        *pid > std::numeric_limits<int>::max() ||
        (synced != json->end() && !synced->is_boolean()) || !port || port->empty() || !device) {
        return false;
    }
    panel.socket = socket;
    panel.pid = pid->get<long>();
    panel.port = *port;
    panel.device = *device;
    panel.synced = synced != json->end() && synced->get<bool>();
    return true;
}

ExchangeResult ReadPanelAnswer(const std::string& line, const char* field, Quantity quantity,
                               const char* missing) {
    ExchangeResult result;
    result.tries = 1;
    result.detail = kUnreadable;
    const std::optional<Json> json = AnswerObject(line);
    if (!json) {
        return result;
    }
    if (!json->at("ok").get<bool>()) {
        const std::optional<std::string> code = StringField(*json, "error", "");
        const std::optional<std::string> message = StringField(*json, "message", code.value_or(""));
        if (!code || !message) {
            return result;
        }
        result.detail = "the panel says: " + *message;
        result.status = *code == kErrPortClosed || *code == kErrPortGone ? ExchangeStatus::PortLost
                                                                         : ExchangeStatus::NoReply;
        return result;
    }
    const auto number = json->find(field);
    if (number == json->end() || number->is_null()) {
        result.detail = missing;
        return result;
    }
    // The panel passes on only what the module could have sent: anything else is not its.
    if (!number->is_number_integer() || *number < InfoOf(quantity).minimum ||
        *number > InfoOf(quantity).maximum) {
        return result;
    }
    result.status = ExchangeStatus::Ok;
    result.value = number->get<int>();
    result.detail.clear();
    return result;
}

ExchangeResult PanelSession::AskForNumber(const std::string& request, Quantity quantity,
                                          const char* field, const char* missing) {
    std::string line;
    const ExchangeResult result = Ask(request, line);
    return result.status == ExchangeStatus::Ok ? ReadPanelAnswer(line, field, quantity, missing)
                                               : result;
}

ExchangeResult PanelSession::Get(Quantity quantity) {
    return AskForNumber(FormatControlRequest({ControlCommand::Get, quantity, m_fresh, {}}),
                        quantity, QuantityName(quantity),
                        "the panel has no report of it from the module yet");
}

ExchangeResult PanelSession::Set(Quantity quantity, int value) {
    ExchangeResult result = AskForNumber(
        FormatControlRequest({ControlCommand::Set, quantity, false, EntryText(quantity, value)}),
        quantity, "value", "an answer without the module's value");
    if (result.status == ExchangeStatus::Ok && result.value != value) {
        result.status = ExchangeStatus::Mismatch;
    }
    return result;
}
