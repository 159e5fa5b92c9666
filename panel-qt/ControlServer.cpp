#include "ControlServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "ControlIds.h"
#include "ControlSocketPath.h"
#include "LinkMessages.h"
#include "PortNames.h"
#include "PosixPortNames.h"

namespace {

using Json = nlohmann::json;

// Answers a client has not read yet; one that lets more pile up is dropped.
constexpr std::size_t kMaxPendingOut = std::size_t{64} * 1024;
// Requests a client may have sent ahead of the answers it waits for.
constexpr std::size_t kMaxPendingIn = 4 * kMaxControlLine;
// Stands for an oversize line among the received ones: no received line holds a newline.
constexpr char kOversizeMark[] = "\n";

std::string Dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::uint8_t CommandOf(ControlQuantity quantity) {
    switch (quantity) {
        case ControlQuantity::Channel:
            return CMD_CHANNEL;
        case ControlQuantity::Power:
            return CMD_POWER;
        default:
            return CMD_OUTPUT;
    }
}

ControlQuantity QuantityOf(std::uint8_t command) {
    return command == CMD_CHANNEL ? ControlQuantity::Channel
           : command == CMD_POWER ? ControlQuantity::Power
                                  : ControlQuantity::Output;
}

}  // namespace

/// One connected client: its socket, what it sent that is not handled yet, what it has not
/// read yet.
struct ControlServer::Client {
    int fd = -1;
    QSocketNotifier* reader = nullptr;
    QSocketNotifier* writer = nullptr;
    std::string partial;            ///< the line being received
    std::deque<std::string> lines;  ///< received, not handled yet
    std::size_t pendingBytes = 0;   ///< in `lines`
    std::string out;
    bool busy = false;      ///< a request of this client waits for the module
    bool skipping = false;  ///< the rest of an oversize line is being thrown away
};

ControlServer::ControlServer(ControllerState& state, IPanelControls& controls,
                             PanelController& controller)
    : m_state(state), m_controls(controls), m_controller(controller) {
    m_jobTimer.setSingleShot(true);
    connect(&m_jobTimer, &QTimer::timeout, this, [this] { OnJobTimeout(); });
    m_controller.SetReplyListener(this);
}

ControlServer::~ControlServer() {
    m_controller.SetReplyListener(nullptr);
    Stop({kErrPortClosed, "the panel is ending"});
}

void ControlServer::FollowPort(const StopReason& closed) {
    if (m_state.portOpen && m_listenFd < 0) {
        m_channel.reset();
        m_power.reset();
        m_output.reset();
        Listen();
    } else if (!m_state.portOpen && m_listenFd >= 0) {
        Stop(closed);
    }
}

bool ControlServer::Listen() {
    const std::string folder = ControlFolder();
    std::string error;
    const std::string path = ControlSocketPath(folder, static_cast<long>(::getpid()));
    if (!PrepareControlFolder(folder, error) ||
        (m_listenFd = ListenControlSocket(path, error)) < 0) {
        std::fprintf(stderr, "varnel: no control socket for scripts: %s\n", error.c_str());
        return false;
    }
    m_path = path;
    RemoveStaleControlSockets(folder);
    struct stat st {};
    m_socketInode = ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    m_listenNotifier = new QSocketNotifier(m_listenFd, QSocketNotifier::Read, this);
    connect(m_listenNotifier, &QSocketNotifier::activated, this, [this] { Accept(); });
    return true;
}

void ControlServer::Stop(const StopReason& reason) {
    const std::string answer = FormatControlError(reason.code, reason.message);
    m_jobTimer.stop();
    m_jobRunning = false;
    m_jobs.clear();
    // Every client gets the reason as its last line: the answer to a request in flight, or
    // to the next one it sends (which then finds the connection closed).
    for (const auto& [id, client] : m_clients) {
        client->out += answer + "\n";
        ::send(client->fd, client->out.data(), client->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    while (!m_clients.empty()) {
        Drop(m_clients.begin()->first);
    }
    if (m_listenFd < 0) {
        return;
    }
    delete m_listenNotifier;
    m_listenNotifier = nullptr;
    // Only our own socket goes: whatever else may sit at the path now is left alone.
    struct stat byPath {};
    if (::lstat(m_path.c_str(), &byPath) == 0 && S_ISSOCK(byPath.st_mode) &&
        byPath.st_ino == m_socketInode && byPath.st_uid == ::geteuid()) {
        ::unlink(m_path.c_str());
    }
    ::close(m_listenFd);
    m_listenFd = -1;
    m_path.clear();
}

void ControlServer::Accept() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;  // EAGAIN: all taken; anything else: the next activation tries again
        }
        if (!PeerIsThisUser(fd)) {
            ::close(fd);
            continue;
        }
        const int id = m_nextClient++;
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        client->writer = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        client->writer->setEnabled(false);
        connect(client->reader, &QSocketNotifier::activated, this, [this, id] { ReadFrom(id); });
        connect(client->writer, &QSocketNotifier::activated, this, [this, id] { WriteTo(id); });
        m_clients.emplace(id, std::move(client));
    }
}

void ControlServer::ReadFrom(int id) {
    const auto it = m_clients.find(id);
    if (it == m_clients.end()) {
        return;
    }
    Client& client = *it->second;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(client.fd, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            // Gone: what it asked for before is still done (a set it sent is the operator's
            // Enter, and runs to its end), only not answered.
            HandleLines(id);
            Drop(id);
            return;
        }
        if (got < 0) {
            break;
        }
        for (ssize_t i = 0; i < got; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                if (!client.skipping) {
                    client.lines.push_back(std::move(client.partial));
                    client.pendingBytes += client.lines.back().size();
                }
                client.partial.clear();
                client.skipping = false;
            } else if (!client.skipping && client.partial.size() == kMaxControlLine) {
                // Answered now, in its turn; the rest of the line is thrown away unread.
                client.partial.clear();
                client.lines.emplace_back(kOversizeMark);
                client.skipping = true;
            } else if (!client.skipping) {
                client.partial.push_back(c);
            }
        }
        if (client.pendingBytes > kMaxPendingIn) {
            client.reader->setEnabled(false);  // until its queued requests are answered
            break;
        }
    }
    HandleLines(id);
}

void ControlServer::HandleLines(int id) {
    auto it = m_clients.find(id);
    while (it != m_clients.end() && !it->second->busy && !it->second->lines.empty()) {
        Client& client = *it->second;
        const std::string line = std::move(client.lines.front());
        client.lines.pop_front();
        client.pendingBytes -= line.size();
        ControlRequest request;
        std::string error;
        std::string answer;
        if (line == kOversizeMark) {
            answer =
                FormatControlError(kErrBadRequest, "the request is longer than " +
                                                       std::to_string(kMaxControlLine) + " bytes");
        } else {
            answer = ParseControlRequest(line, request, error)
                         ? Handle(id, request)
                         : FormatControlError(kErrBadRequest, error);
        }
        if (!answer.empty()) {
            Answer(id, answer);
        }
        it = m_clients.find(id);
    }
    if (it != m_clients.end() && !it->second->busy && it->second->pendingBytes <= kMaxPendingIn) {
        it->second->reader->setEnabled(true);
    }
}

std::string ControlServer::Handle(int id, const ControlRequest& request) {
    if (request.command == ControlCommand::Hello) {
        return HelloAnswer();
    }
    if (!m_state.portOpen) {
        return FormatControlError(kErrPortClosed, "the panel's port is closed");
    }
    if (!m_state.synced) {
        return FormatControlError(kErrNotSynced,
                                  "the panel is still reading the module's settings; try again");
    }
    if (request.command == ControlCommand::Get && !request.fresh) {
        return StateAnswer(request.quantity);
    }
    if (request.command == ControlCommand::Set && request.quantity == ControlQuantity::Output &&
        m_output && *m_output == (request.text == "on")) {
        // The module already reported this state: the button would toggle it away.
        return Dump({{"v", kControlVersion},
                     {"ok", true},
                     {"what", "output"},
                     {"value", *m_output ? 1 : 0}});
    }
    Job job{id, request, {}};
    if (request.command == ControlCommand::Set || request.quantity != ControlQuantity::All) {
        job.awaiting.push_back(CommandOf(request.quantity));
    } else {
        job.awaiting = {CMD_CHANNEL, CMD_POWER, CMD_OUTPUT};
    }
    m_jobs.push_back(std::move(job));
    m_clients[id]->busy = true;
    StartNextJob();  // requests are read in the event loop, never inside the controller
    return {};
}

void ControlServer::StartNextJob() {
    if (m_jobRunning || m_jobs.empty()) {
        return;
    }
    // A box waits for the operator (a report after an unplug, say): the panel's controls are
    // out of reach, and so is the module through them. The request waits for the box; what
    // the operator's answer leads to (a recovery, a closed port) then decides it.
    if (QApplication::activeModalWidget() != nullptr) {
        if (!m_retryPending) {
            m_retryPending = true;
            QTimer::singleShot(kModalRetryMs, this, [this] {
                m_retryPending = false;
                StartNextJob();
            });
        }
        return;
    }
    if (!m_state.portOpen || !m_state.synced) {
        FinishJob(FormatControlError(kErrNotSynced, "the panel is reading the module again"));
        return;
    }
    Job& job = m_jobs.front();
    m_jobRunning = true;
    m_jobTimer.start(kReplyWaitMs);
    if (job.request.command == ControlCommand::Get) {
        m_controller.QueryModule(job.awaiting.front());
        return;
    }
    // What the operator does: the text in the field, then Enter (or the button).
    switch (job.request.quantity) {
        case ControlQuantity::Channel:
            m_controls.SetItemText(IDC_EDIT_CHANNEL, job.request.text);
            m_controller.OnSetChannel();
            break;
        case ControlQuantity::Power:
            m_controls.SetItemText(IDC_EDIT_POWER, job.request.text);
            m_controller.OnSetPower();
            break;
        default:
            m_controller.OnOutputToggle();
            break;
    }
}

void ControlServer::OnModuleReply(const ModuleReply& reply) {
    const int value = reply.value;
    const std::uint8_t command = QuantityCommand(reply.quantity);
    switch (reply.quantity) {
        case Quantity::Channel:
            m_channel = value;
            break;
        case Quantity::Power:
            m_power = value;
            break;
        case Quantity::Output:
            m_output = value != 0;
            break;
    }
    if (!m_jobRunning || m_jobs.front().awaiting.front() != command) {
        return;
    }
    Job& job = m_jobs.front();
    job.awaiting.erase(job.awaiting.begin());
    if (job.request.command == ControlCommand::Set) {
        FinishJob(Dump({{"v", kControlVersion},
                        {"ok", true},
                        {"what", ControlQuantityName(QuantityOf(command))},
                        {"value", value}}));
    } else if (job.awaiting.empty()) {
        FinishJob(StateAnswer(job.request.quantity));
    } else {
        const std::uint8_t next = job.awaiting.front();
        // Not from inside the controller's own receive handler.
        QMetaObject::invokeMethod(
            this, [this, next] { m_controller.QueryModule(next); }, Qt::QueuedConnection);
        m_jobTimer.start(kReplyWaitMs);
    }
}

void ControlServer::OnJobTimeout() {
    if (!m_jobRunning) {
        return;
    }
    const Job& job = m_jobs.front();
    FinishJob(FormatControlError(
        kErrNoReply, std::string("the module did not answer the ") +
                         ControlQuantityName(QuantityOf(job.awaiting.front())) + " " +
                         (job.request.command == ControlCommand::Set ? "set" : "query") +
                         " within " + std::to_string(kReplyWaitMs) + " ms"));
}

void ControlServer::FinishJob(const std::string& answer) {
    m_jobTimer.stop();
    m_jobRunning = false;
    const int id = m_jobs.front().client;
    m_jobs.pop_front();
    Answer(id, answer);
    if (const auto it = m_clients.find(id); it != m_clients.end()) {
        it->second->busy = false;
        QMetaObject::invokeMethod(
            this, [this, id] { HandleLines(id); }, Qt::QueuedConnection);
    }
    if (!m_jobs.empty()) {
        QMetaObject::invokeMethod(
            this, [this] { StartNextJob(); }, Qt::QueuedConnection);
    }
}

void ControlServer::Answer(int id, const std::string& line) {
    const auto it = m_clients.find(id);
    if (it == m_clients.end()) {
        return;
    }
    it->second->out += line + "\n";
    WriteTo(id);
}

void ControlServer::WriteTo(int id) {
    const auto it = m_clients.find(id);
    if (it == m_clients.end()) {
        return;
    }
    Client& client = *it->second;
    while (!client.out.empty()) {
        const ssize_t sent =
            ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                break;
            }
            Drop(id);
            return;
        }
        client.out.erase(0, static_cast<std::size_t>(sent));
    }
    if (client.out.size() > kMaxPendingOut) {
        Drop(id);  // it does not read its answers
        return;
    }
    client.writer->setEnabled(!client.out.empty());
}

void ControlServer::Drop(int id) {
    const auto it = m_clients.find(id);
    if (it == m_clients.end()) {
        return;
    }
    Client& client = *it->second;
    // Its queued requests go too; one already on the wire runs to its end, unanswered.
    for (auto job = m_jobs.begin(); job != m_jobs.end();) {
        const bool running = m_jobRunning && job == m_jobs.begin();
        job = job->client == id && !running ? m_jobs.erase(job) : job + 1;
    }
    client.reader->setEnabled(false);
    client.writer->setEnabled(false);
    client.reader->deleteLater();
    client.writer->deleteLater();
    ::close(client.fd);
    m_clients.erase(it);
}

std::string ControlServer::HelloAnswer() const {
    const int com = m_state.selectedPort;
    return Dump({{"v", kControlVersion},
                 {"ok", true},
                 {"pid", static_cast<long>(::getpid())},
                 {"port", m_state.portOpen ? PortDisplayName(com) : ""},
                 {"device", m_state.portOpen ? ResolvedPath(PortDevicePath(com)) : ""},
                 {"synced", m_state.synced}});
}

std::string ControlServer::StateAnswer(ControlQuantity what) const {
    Json json = {{"v", kControlVersion}, {"ok", true}, {"synced", m_state.synced}};
    const auto put = [&](ControlQuantity quantity, const auto& value) {
        if (what == ControlQuantity::All || what == quantity) {
            json[ControlQuantityName(quantity)] = value ? Json(static_cast<int>(*value)) : Json();
        }
    };
    put(ControlQuantity::Channel, m_channel);
    put(ControlQuantity::Power, m_power);
    put(ControlQuantity::Output, m_output);
    return Dump(json);
}
