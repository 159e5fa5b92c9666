#include "ServeHttp.h"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

#include "AsciiCase.h"
#include "HttpReader.h"
#include "HttpResponse.h"
#include "Identification.h"
#include "WelcomePage.h"

namespace {

constexpr Quantity kReadOrder[] = {Quantity::Channel, Quantity::Power, Quantity::Output};

// Whether a Content-Type names JSON, whatever its parameters ("; charset=utf-8") and case.
bool IsJson(std::string_view contentType) {
    std::string_view type = contentType.substr(0, contentType.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) {
        type.remove_suffix(1);
    }
    return SameIgnoringCase(type, "application/json");
}

// The SCPI setting a page's JSON asks for; empty with `why` when it asks for none. Numbers go
// over as JSON wrote them (digits, sign, point, exponent: nothing else can get into the line),
// and the engine judges them as it judges any client's.
std::string SettingCommand(const std::string& body, std::string& why) {
    const nlohmann::json request = nlohmann::json::parse(body, nullptr, false);
    why = R"(a setting is one of {"channel": N}, {"power": dBm} or {"output": true|false})";
    if (!request.is_object() || request.size() != 1) {
        return {};
    }
    const std::string& key = request.begin().key();
    const nlohmann::json& value = request.begin().value();
    if ((key == "channel" || key == "power") && value.is_number()) {
        return (key == "channel" ? "CHAN " : "POW ") + value.dump();
    }
    if (key == "output" && value.is_boolean()) {
        return value.get<bool>() ? "OUTP ON" : "OUTP OFF";
    }
    return {};
}

}  // namespace

// One HTTP connection: requests one at a time; a setting waits for the module, and what came
// after it waits in the kernel meanwhile.
class HttpDoor::Connection final : public net::ClientHandler, public scpi::EngineHost {
public:
    Connection(HttpDoor& door, net::ClientId id, const net::Peer& peer, net::Address reached)
        : m_door(door),
          m_id(id),
          m_peer(peer),
          m_reached(reached),
          m_ours(door.m_setup.ours),
          m_due(Clock::now() + kIdle) {
        m_door.m_connections[m_id] = this;
        m_ours.addresses.push_back(reached);  // ours by definition, whatever the system listed
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // net::ClientHandler
    void Received(std::string_view bytes) override {
        m_reader.Add(bytes);
        Serve();
    }
    bool Reading() const override { return !m_engine && !m_closing; }
    // Gone at once (without Left) when its setting had not reached the module yet.
    bool InputEnded() override {
        const bool gone = Cancel();
        if (gone) {
            m_door.m_connections.erase(m_id);
        }
        return gone;
    }
    // Told of every other leaving but the server's end, when the door goes first.
    void Left() override {
        Cancel();
        m_door.m_connections.erase(m_id);
    }

    // scpi::EngineHost
    void Answer(std::string_view message) override { m_answer.append(message); }
    void Request(const ModuleRequest& request) override { m_door.m_setup.submit(m_id, request); }
    void Setting(std::string_view command) override {
        m_setting = m_door.m_setup.logText(command);
        m_door.m_setup.log(m_peer, m_setting);
    }

    void Complete(const ExchangeResult& outcome) {
        if (m_engine) {
            m_engine->Complete(outcome);
            Settled();
            Serve();  // what the client sent behind it
        }
    }
    /// When it is closed unless it asks for something: none while a setting is under way.
    std::optional<Clock::time_point> Due() const {
        return m_engine || m_closing ? std::nullopt : std::optional(m_due);
    }
    void Close() {
        m_closing = true;
        m_door.m_pump.Drop(m_id);
    }

private:
    void Serve() {
        web::HttpRequest request;
        while (Reading()) {
            switch (m_reader.Next(request)) {
                case web::ReadResult::NeedMore:
                    return;
                case web::ReadResult::Ready:
                    m_due = Clock::now() + kIdle;
                    m_head = request.method == "HEAD";
                    m_keepAlive = request.keepAlive && ++m_requests < kMaxRequests;
                    Handle(request);
                    break;
                case web::ReadResult::Bad:
                    return Send(web::ErrorResponse(400, "not an HTTP/1.1 request", true));
                case web::ReadResult::TooLarge:
                    return Send(m_reader.HeadersTooLarge()
                                    ? web::ErrorResponse(431, "headers over 8 KiB", true)
                                    : web::ErrorResponse(413, "body over 1 KiB", true));
                case web::ReadResult::Unsupported:
                    return Send(web::ErrorResponse(411, "send the body with a length", true));
            }
        }
    }

    void Handle(const web::HttpRequest& request) {
        const std::string_view target = request.target;
        const std::string_view path = target.substr(0, target.find('?'));
        // Another name that resolves to us (DNS rebinding) gets nothing, not even a redirect.
        if (request.host.empty()) {
            return Send(web::ErrorResponse(400, "a Host header is needed", true));
        }
        if (!web::IsOurs(request.host, m_ours)) {
            return Send(
                web::ErrorResponse(421, "this instrument does not answer to that host name", true));
        }
        const bool read = request.method == "GET" || m_head;
        if (path == "/api/settings") {
            return request.method == "POST" ? Set(request) : Refuse("POST");
        }
        if (path != "/" && path != "/index.html" && path != "/lxi/identification" &&
            path != "/api/state") {
            return Send(web::ErrorResponse(404, "no such page"));
        }
        if (!read) {
            return Refuse("GET, HEAD");
        }
        if (path == "/lxi/identification") {
            const std::string xml = web::IdentificationXml(m_door.m_setup.facts.identity, Reach(),
                                                           m_door.m_setup.hostName);
            return Send({200, "text/xml; charset=utf-8", xml, false, {}});
        }
        if (path == "/api/state") {
            m_door.Watched();
            return Send({200, "application/json", web::JsonText(State()), false, {}});
        }
        return Send({200, "text/html; charset=utf-8", std::string(web::WelcomePage()), false, {}});
    }

    // A setting: only from our own page (or a client that is no browser), as JSON, and through
    // an engine of its own, whose error queue then says how it went.
    void Set(const web::HttpRequest& request) {
        const bool crossSite = !request.fetchSite.empty() && request.fetchSite != "same-origin" &&
                               request.fetchSite != "none";
        if (crossSite ||
            (!request.origin.empty() && !web::IsSameOrigin(request.origin, request.host))) {
            m_door.m_setup.log(m_peer, "web page of another site refused: " +
                                           m_door.m_setup.logText(request.origin));
            return Send(web::ErrorResponse(403,
                                           "settings are taken from this instrument's own "
                                           "page only"));
        }
        if (m_door.m_setup.config->readOnly) {
            return Send(web::ErrorResponse(403, "read-only: settings are refused"));
        }
        if (!IsJson(request.contentType)) {
            return Send(web::ErrorResponse(415, "send the setting as application/json"));
        }
        std::string why;
        const std::string command = SettingCommand(request.body, why);
        if (command.empty()) {
            return Send(web::ErrorResponse(400, why));
        }
        m_answer.clear();
        m_engine = std::make_unique<scpi::Engine>(*m_door.m_setup.config, *this);
        m_engine->Feed(command + "\nSYST:ERR?\n");
        Settled();
    }

    // Once the engine has answered the error query, the page hears how its setting went.
    void Settled() {
        if (!m_engine || m_engine->Waiting() || m_answer.empty()) {
            return;
        }
        m_engine.reset();
        std::string answer = std::exchange(m_answer, {});
        while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) {
            answer.pop_back();
        }
        const bool ok = answer.rfind("0,", 0) == 0;
        nlohmann::json body = {{"ok", ok}};
        if (!ok) {
            body["error"] = answer;
        }
        body["state"] = State();
        m_due = Clock::now() + kIdle;
        Send({ok ? 200 : 422, "application/json", web::JsonText(body), false, {}});
    }

    void Refuse(std::string allow) {
        web::HttpResponse response = web::ErrorResponse(405, "not here; this takes " + allow);
        response.allow = std::move(allow);
        Send(response);
    }

    void Send(web::HttpResponse response) {
        response.close = response.close || !m_keepAlive;
        m_door.m_pump.Write(m_id, web::ResponseText(response, m_head));
        if (response.close) {
            Close();
        }
    }

    web::Reach Reach() const {
        return {m_reached, m_door.m_setup.socketPort, m_door.m_setup.vxi11,
                m_door.m_setup.ours.port};
    }

    nlohmann::json State() const {
        web::PageFacts facts = m_door.m_setup.facts;
        facts.visa = web::VisaResources(Reach());
        facts.route = m_door.m_setup.route();
        return web::StateDocument(m_door.m_state.View(), facts);
    }

    // Takes its queued request out of the worker's queue; true when nothing of it is under way.
    bool Cancel() {
        if (!m_engine) {
            return true;
        }
        const std::optional<ModuleRequest> dropped = m_door.m_setup.cancel(m_id);
        if (dropped && dropped->isSet) {
            m_door.m_setup.log(m_peer, "left before the module had it: not sent: " + m_setting);
        }
        return dropped.has_value();
    }

    HttpDoor& m_door;
    net::ClientId m_id;
    net::Peer m_peer;
    net::Address m_reached;
    web::OurHosts m_ours;
    web::HttpReader m_reader;
    std::unique_ptr<scpi::Engine> m_engine;  // while a setting is under way
    std::string m_answer;                    // the engine's answers to it
    std::string m_setting;                   // the last setting, as logged
    Clock::time_point m_due;
    int m_requests = 0;
    bool m_head = false;
    bool m_keepAlive = true;
    bool m_closing = false;
};

HttpDoor::HttpDoor(HttpSetup setup, int listener, net::ConnectionPump& pump)
    : m_setup(std::move(setup)), m_listener(listener), m_pump(pump) {
    m_pump.AddDoor(m_listener, *this);
    m_pump.AddDeadline([this] { return NextDue(); }, [this] { Due(); });
}

HttpDoor::~HttpDoor() {
    m_pump.RemoveDoor(m_listener);
    net::Close(m_listener);
}

bool HttpDoor::Admits(int fd, const net::Peer& peer) {
    if (!net::Admits(m_setup.allow, peer.address) || m_connections.size() >= kMaxConnections) {
        return false;
    }
    net::NoDelay(fd);
    m_reached = net::LocalAddress(fd);
    return true;
}

std::unique_ptr<net::ClientHandler> HttpDoor::Open(net::ClientId id, const net::Peer& peer) {
    return std::make_unique<Connection>(*this, id, peer, m_reached);
}

void HttpDoor::Observe(const ModuleRequest& request, const ExchangeResult& outcome) {
    m_state.Observe(request, outcome);
}

bool HttpDoor::Complete(std::uint64_t client, const ExchangeResult& outcome) {
    if (client == kReaderClient) {
        ReadDone();
        return true;
    }
    const auto found = m_connections.find(client);
    if (found == m_connections.end()) {
        return false;
    }
    found->second->Complete(outcome);
    return true;
}

void HttpDoor::Watched() {
    m_watchedUntil = Clock::now() + kWatched;
    if (m_reading < 0 && !m_nextRead) {
        StartReading();
    }
}

void HttpDoor::StartReading() {
    const web::ModuleView& view = m_state.View();
    const bool known = !view.present || (view.channel && view.power && view.output);
    m_readAll = m_setup.shared() || !known;
    m_reading = m_readAll ? 0 : m_nextCheck;
    m_nextCheck = (m_nextCheck + 1) % static_cast<int>(std::size(kReadOrder));
    m_setup.submit(kReaderClient, {false, kReadOrder[m_reading], 0});
}

// The next quantity of a reading, or its end: the next reading starts after its gap while a
// page still watches.
void HttpDoor::ReadDone() {
    if (m_readAll && ++m_reading < static_cast<int>(std::size(kReadOrder))) {
        m_setup.submit(kReaderClient, {false, kReadOrder[m_reading], 0});
        return;
    }
    m_reading = -1;
    m_nextRead.reset();
    if (Clock::now() < m_watchedUntil) {
        m_nextRead = Clock::now() + (m_readAll ? std::chrono::milliseconds(kReadGap)
                                               : std::chrono::milliseconds(kCheckGap));
    }
}

std::optional<HttpDoor::Clock::time_point> HttpDoor::NextDue() const {
    std::optional<Clock::time_point> next = m_reading < 0 ? m_nextRead : std::nullopt;
    for (const auto& [id, connection] : m_connections) {
        if (const auto due = connection->Due(); due && (!next || *due < *next)) {
            next = due;
        }
    }
    return next;
}

void HttpDoor::Due() {
    const Clock::time_point now = Clock::now();
    if (m_reading < 0 && m_nextRead && *m_nextRead <= now) {
        m_nextRead.reset();
        if (now < m_watchedUntil) {
            StartReading();
        }
    }
    std::vector<Connection*> idle;
    for (const auto& [id, connection] : m_connections) {
        if (const auto due = connection->Due(); due && *due <= now) {
            idle.push_back(connection);
        }
    }
    for (Connection* connection : idle) {
        connection->Close();
    }
}
