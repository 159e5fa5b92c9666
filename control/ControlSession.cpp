#include "ControlSession.h"

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

constexpr Quantity kAllQuantities[] = {Quantity::Channel, Quantity::Power, Quantity::Output};

std::string Dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

ControlSession::ControlSession(IPanelEntry& panel, IControlWriter& writer, IControlHost& host)
    : m_panel(panel), m_writer(writer), m_host(host) {}

int ControlSession::Connect() {
    const int id = m_nextClient++;
    m_clients.emplace(id, Client{});
    return id;
}

void ControlSession::Receive(int id, std::string_view bytes) {
    const auto it = m_clients.find(id);
    if (it == m_clients.end()) {
        return;
    }
    Client& client = it->second;
    for (const char c : bytes) {
        if (c == '\n') {
            if (!client.skipping) {
                client.pending += client.partial.size() + 1;
                client.lines.push_back({std::move(client.partial), false});
            }
            client.partial.clear();
            client.skipping = false;
        } else if (client.skipping) {
            continue;
        } else if (client.partial.size() == kMaxControlLine) {
            // Answered in its turn; the rest of the line is thrown away unread.
            client.partial.clear();
            client.pending += 1;
            client.lines.push_back({{}, true});
            client.skipping = true;
        } else {
            client.partial.push_back(c);
        }
    }
    HandleLines(id);
}

void ControlSession::Disconnect(int id) {
    HandleLines(id);
    // Its queued requests go too; one already on the wire runs to its end, unanswered.
    for (auto job = m_jobs.begin(); job != m_jobs.end();) {
        const bool running = m_jobRunning && job == m_jobs.begin();
        job = job->client == id && !running ? m_jobs.erase(job) : job + 1;
    }
    m_clients.erase(id);
}

void ControlSession::HandleLines(int id) {
    auto it = m_clients.find(id);
    while (it != m_clients.end() && !it->second.busy && !it->second.lines.empty()) {
        Client& client = it->second;
        const Line line = std::move(client.lines.front());
        client.lines.pop_front();
        client.pending -= line.text.size() + 1;
        ControlRequest request;
        std::string error;
        std::string answer;
        if (line.oversize) {
            answer =
                FormatControlError(kErrBadRequest, "the request is longer than " +
                                                       std::to_string(kMaxControlLine) + " bytes");
        } else {
            answer = ParseControlRequest(line.text, request, error)
                         ? Handle(id, request)
                         : FormatControlError(kErrBadRequest, error);
        }
        if (!answer.empty()) {
            Answer(id, answer);
        }
        it = m_clients.find(id);
    }
    UpdateReading(id);
}

void ControlSession::UpdateReading(int id) {
    const auto it = m_clients.find(id);
    if (it == m_clients.end()) {
        return;
    }
    Client& client = it->second;
    // A client that pipelines more than it lets us answer waits: its bytes stay in its socket.
    const bool reading = client.pending <= kMaxPendingIn;
    if (reading != client.reading) {
        client.reading = reading;
        m_writer.SetReading(id, reading);
    }
}

std::string ControlSession::Handle(int id, const ControlRequest& request) {
    if (request.command == ControlCommand::Hello) {
        return Dump({{"v", kControlVersion},
                     {"ok", true},
                     {"pid", m_host.Pid()},
                     {"port", m_com != 0 ? m_host.PortName(m_com) : ""},
                     {"device", m_com != 0 ? m_host.DevicePath(m_com) : ""},
                     {"synced", m_com != 0 && m_panel.Synced()}});
    }
    if (m_com == 0) {
        return FormatControlError(kErrPortClosed, "the panel's port is closed");
    }
    if (!m_panel.Synced()) {
        return FormatControlError(kErrNotSynced,
                                  "the panel is still reading the module's settings; try again");
    }
    if (request.command == ControlCommand::Get && !request.fresh) {
        return StateAnswer(request.quantity);
    }
    Job job{id, request, {}};
    if (request.quantity) {
        job.awaiting.push_back(*request.quantity);
    } else {
        job.awaiting.assign(std::begin(kAllQuantities), std::end(kAllQuantities));
    }
    m_jobs.push_back(std::move(job));
    m_clients[id].busy = true;
    StartNextJob();
    return {};
}

void ControlSession::StartNextJob() {
    if (m_jobRunning || m_waitingForOperator || m_jobs.empty()) {
        return;
    }
    // A box waits for the operator (a report after an unplug, say): the panel's controls are
    // out of reach, and so is the module through them. The request waits for the box; what
    // the operator's answer leads to (a recovery, a closed port) then decides it.
    if (m_host.OperatorBusy()) {
        m_waitingForOperator = true;
        m_host.StartTimer(kBusyRetryMs);
        return;
    }
    if (m_com == 0 || !m_panel.Synced()) {
        FinishJob(FormatControlError(kErrNotSynced, "the panel is reading the module again"));
        return;
    }
    Job& job = m_jobs.front();
    const Quantity quantity = job.awaiting.front();
    m_jobRunning = true;
    m_host.StartTimer(kReplyWaitMs);
    if (job.request.command == ControlCommand::Get) {
        m_panel.QueryModule(quantity);
    } else if (!m_panel.SubmitEntry(quantity, job.request.text)) {
        // Only the output leaves nothing to do: the module reported that state last.
        const std::optional<int> reported = Reported(quantity);
        FinishJob(reported ? ValueAnswer(quantity, *reported)
                           : FormatControlError(kErrNotSynced, "the panel is reading the module"));
    }
}

void ControlSession::OnModuleReply(const ModuleReply& reply) {
    Reported(reply.quantity) = reply.value;
    if (!m_jobRunning || m_jobs.front().awaiting.front() != reply.quantity) {
        return;
    }
    Job& job = m_jobs.front();
    job.awaiting.erase(job.awaiting.begin());
    if (job.request.command == ControlCommand::Set) {
        FinishJob(ValueAnswer(reply.quantity, reply.value));
    } else if (job.awaiting.empty()) {
        FinishJob(StateAnswer(job.request.quantity));
    } else {
        // Not from inside the panel's own receive handler.
        const Quantity next = job.awaiting.front();
        m_host.Post([this, next] { m_panel.QueryModule(next); });
        m_host.StartTimer(kReplyWaitMs);
    }
}

void ControlSession::OnTimer() {
    if (m_waitingForOperator) {
        m_waitingForOperator = false;
        StartNextJob();
        return;
    }
    if (!m_jobRunning) {
        return;
    }
    const Job& job = m_jobs.front();
    FinishJob(FormatControlError(
        kErrNoReply, std::string("the module did not answer the ") +
                         QuantityName(job.awaiting.front()) + " " +
                         (job.request.command == ControlCommand::Set ? "set" : "query") +
                         " within " + std::to_string(kReplyWaitMs) + " ms"));
}

void ControlSession::FinishJob(const std::string& answer) {
    m_host.StopTimer();
    m_jobRunning = false;
    const int id = m_jobs.front().client;
    m_jobs.pop_front();
    Answer(id, answer);
    if (const auto it = m_clients.find(id); it != m_clients.end()) {
        it->second.busy = false;
        m_host.Post([this, id] { HandleLines(id); });
    }
    if (!m_jobs.empty()) {
        m_host.Post([this] { StartNextJob(); });
    }
}

void ControlSession::Answer(int id, const std::string& line) {
    if (m_clients.count(id) != 0) {
        m_writer.WriteLine(id, line + "\n");
    }
}

void ControlSession::OnPortOpened(int com) {
    m_com = com;
    m_reported = {};
    m_host.Serve(true);
}

void ControlSession::OnPortClosed(PortClosure why) {
    if (why == PortClosure::Operator) {
        Stop(kErrPortClosed, "the panel's operator closed the port");
    } else {
        Stop(kErrPortGone, "the port went away (the device was removed)");
    }
}

void ControlSession::End(const char* code, const std::string& message) {
    Stop(code, message);
}

void ControlSession::Stop(const char* code, const std::string& message) {
    m_com = 0;
    m_host.StopTimer();
    m_jobRunning = false;
    m_waitingForOperator = false;
    m_jobs.clear();
    // Every client gets the reason as its last line: the answer to a request in flight, or
    // to the next one it sends (which then finds the connection closed).
    const std::string answer = FormatControlError(code, message) + "\n";
    for (const auto& [id, client] : m_clients) {
        m_writer.WriteLine(id, answer);
    }
    m_clients.clear();
    m_host.Serve(false);
}

std::string ControlSession::ValueAnswer(Quantity quantity, int value) const {
    return Dump(
        {{"v", kControlVersion}, {"ok", true}, {"what", QuantityName(quantity)}, {"value", value}});
}

std::string ControlSession::StateAnswer(std::optional<Quantity> what) const {
    Json json = {{"v", kControlVersion}, {"ok", true}, {"synced", m_panel.Synced()}};
    for (const Quantity quantity : kAllQuantities) {
        if (!what || *what == quantity) {
            const std::optional<int>& value = m_reported[static_cast<std::size_t>(quantity)];
            json[QuantityName(quantity)] = value ? Json(*value) : Json();
        }
    }
    return Dump(json);
}

std::optional<int>& ControlSession::Reported(Quantity quantity) {
    return m_reported[static_cast<std::size_t>(quantity)];
}
