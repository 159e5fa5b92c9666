#include "ServeVxi11.h"

#include <algorithm>
#include <utility>

namespace {

/// Bytes of messages a link's engine holds behind a module request at most.
constexpr std::size_t kBacklogLimit = std::size_t{64} * 1024;

vxi11::Millis NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               Vxi11Door::Clock::now().time_since_epoch())
        .count();
}

}  // namespace

// One TCP connection: its records as they come, handed to the service.
class Vxi11Door::Connection final : public net::ClientHandler {
public:
    Connection(Vxi11Door& door, net::ClientId id, const net::Peer& peer)
        : m_door(door), m_id(id), m_peer(peer), m_records(door.m_service.MaxRecordBytes()) {}

    void Received(std::string_view bytes) override {
        m_door.m_current = &m_peer;
        if (!m_door.m_service.Receive(m_id, m_records, bytes, NowMs())) {
            m_door.m_pump.Drop(m_id);  // a record over the limit: its framing is lost
        }
        m_door.m_current = nullptr;
    }
    // Its calls wait for the module within the service: the connection is read all along.
    bool Reading() const override { return true; }
    void Left() override {
        m_door.m_connections.erase(m_id);
        m_door.m_service.Core().CloseConnection(m_id);
    }

private:
    Vxi11Door& m_door;
    net::ClientId m_id;
    net::Peer m_peer;
    vxi11::RecordReassembler m_records;
};

// One link: an SCPI engine of its own, asking the module through the server's worker.
class Vxi11Door::Link final : public vxi11::LinkInstrument, public scpi::EngineHost {
public:
    Link(Vxi11Door& door, std::uint64_t client, net::Peer peer, vxi11::LinkId lid)
        : m_door(door),
          m_client(client),
          m_peer(peer),
          m_lid(lid),
          m_engine(*door.m_setup.config, *this) {
        m_door.m_links[m_client] = this;
    }
    ~Link() override {
        m_door.m_links.erase(m_client);
        // Its request goes with it unless the module has it already.
        if (const auto dropped = m_door.m_setup.cancel(m_client); dropped && dropped->isSet) {
            m_door.m_setup.log(m_peer, "left before the module had it: not sent: " + m_setting);
        }
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    void Feed(std::string_view message) override {
        // Messages queue behind a module request; a client that writes on regardless only
        // loses what goes beyond the backlog (its reads find no answer), as the raw socket's
        // lines wait in the kernel instead.
        if (m_engine.Buffered() + message.size() <= kBacklogLimit) {
            m_engine.Feed(message);
        }
    }
    bool Waiting() const override { return m_engine.Waiting(); }
    std::uint8_t StatusByte() const override { return m_engine.StatusByte(); }
    void Clear() override { m_engine.Clear(); }

    void Answer(std::string_view message) override {
        m_door.m_service.Core().Answer(m_lid, message);
    }
    void Request(const ModuleRequest& request) override {
        m_door.m_setup.submit(m_client, request);
    }
    void Setting(std::string_view command) override {
        m_setting = m_door.m_setup.logText(command);
        m_door.m_setup.log(m_peer, m_setting);
    }

    void Complete(const ExchangeResult& outcome) { m_engine.Complete(outcome); }

private:
    Vxi11Door& m_door;
    std::uint64_t m_client;
    net::Peer m_peer;
    vxi11::LinkId m_lid;
    std::string m_setting;  // the last setting, as logged
    scpi::Engine m_engine;
};

Vxi11Door::Vxi11Door(Vxi11Setup setup, int listener, net::ConnectionPump& pump)
    : m_setup(std::move(setup)),
      m_listener(listener),
      m_pump(pump),
      m_service(
          vxi11::DeviceConfig{.abortPort = static_cast<std::uint16_t>(net::BoundPort(listener))},
          *this) {
    m_pump.AddDoor(m_listener, *this);
    // The core's waits time out on the pump's clock; what that answers goes out on the pump.
    m_pump.AddDeadline(
        [this]() -> std::optional<Clock::time_point> {
            if (const std::optional<vxi11::Millis> due = m_service.Core().NextDeadline()) {
                return Clock::time_point{std::chrono::milliseconds(*due)};
            }
            return std::nullopt;
        },
        [this] { m_service.Core().Advance(NowMs()); });
}

Vxi11Door::~Vxi11Door() {
    m_pump.RemoveDoor(m_listener);
    // The links end first, while the door they name is still here; the pump closes the sockets.
    for (const net::ClientId id : m_connections) {
        m_service.Core().CloseConnection(id);
    }
    net::Close(m_listener);
}

bool Vxi11Door::Admits(int fd, const net::Peer& peer) {
    if (!net::Admits(m_setup.allow, peer.address) ||
        m_connections.size() >= m_setup.maxConnections) {
        return false;
    }
    net::NoDelay(fd);
    return true;
}

std::unique_ptr<net::ClientHandler> Vxi11Door::Open(net::ClientId id, const net::Peer& peer) {
    m_connections.insert(id);
    return std::make_unique<Connection>(*this, id, peer);
}

bool Vxi11Door::Complete(std::uint64_t client, const ExchangeResult& outcome) {
    if ((client & kClientBit) == 0) {
        return false;
    }
    if (const auto it = m_links.find(client); it != m_links.end()) {
        it->second->Complete(outcome);
    }
    return true;
}

std::optional<int> Vxi11Door::FindInstrument(std::string_view /*device*/) {
    // One instrument: every device name opens it, so that a resource read as a device name
    // ("TCPIP::host::5025" without ::SOCKET) still reaches it.
    return 0;
}

std::unique_ptr<vxi11::LinkInstrument> Vxi11Door::OpenLink(int /*instrument*/, vxi11::LinkId lid) {
    if (m_current == nullptr || !m_setup.hasRoom()) {
        return nullptr;  // out of resources (error 9), as a raw client past the limit is refused
    }
    return std::make_unique<Link>(*this, kClientBit | ++m_lastId, *m_current, lid);
}

void Vxi11Door::Send(vxi11::ConnectionId connection, std::string record) {
    m_pump.Write(connection, record);
}
