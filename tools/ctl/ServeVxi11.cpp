#include "ServeVxi11.h"

#include <algorithm>
#include <utility>

namespace {

constexpr std::size_t kReadChunk = 4096;
/// Replies a connection leaves unread beyond this mean a client that does not read.
constexpr std::size_t kOutputLimit = std::size_t{256} * 1024;
/// Bytes of messages a link's engine holds behind a module request at most.
constexpr std::size_t kBacklogLimit = std::size_t{64} * 1024;
/// How long accepting rests when the process is out of descriptors.
constexpr auto kAcceptPause = std::chrono::milliseconds(250);

vxi11::Millis NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               Vxi11Door::Clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct Vxi11Door::Connection {
    Connection(int fd, vxi11::ConnectionId id, net::Peer peer, std::size_t maxRecord)
        : fd(fd), id(id), peer(peer), records(maxRecord) {}
    int fd;
    vxi11::ConnectionId id;
    net::Peer peer;
    vxi11::RecordReassembler records;
    std::string out;  // reply records not sent yet
    bool closed = false;
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

Vxi11Door::Vxi11Door(Vxi11Setup setup, int listener)
    : m_setup(std::move(setup)),
      m_listener(listener),
      m_service(
          vxi11::DeviceConfig{.abortPort = static_cast<std::uint16_t>(net::BoundPort(listener))},
          *this) {}

Vxi11Door::~Vxi11Door() {
    // The links end first, while the connections they name are still here.
    for (const std::unique_ptr<Connection>& connection : m_connections) {
        m_service.Core().CloseConnection(connection->id);
        net::Close(connection->fd);
    }
    net::Close(m_listener);
}

void Vxi11Door::AddPolls(std::vector<net::PollFd>& fds) {
    m_first = fds.size();
    m_polled = m_connections.size();
    fds.push_back({m_acceptPause ? -1 : m_listener, net::kReadable, 0});
    for (const std::unique_ptr<Connection>& connection : m_connections) {
        const short events = connection->out.empty()
                                 ? net::kReadable
                                 : static_cast<short>(net::kReadable | net::kWritable);
        fds.push_back({connection->fd, events, 0});
    }
}

void Vxi11Door::Handle(const std::vector<net::PollFd>& fds) {
    if (m_first + m_polled >= fds.size()) {
        return;  // not polled this time round
    }
    for (std::size_t i = 0; i < m_polled; ++i) {
        Connection& connection = *m_connections[i];
        const short revents = fds[m_first + 1 + i].revents;
        if ((revents & (net::kError | net::kInvalid)) != 0) {
            connection.closed = true;
        } else if ((revents & (net::kReadable | net::kHangUp)) != 0) {
            Read(connection);
        }
    }
    if (m_acceptPause && Clock::now() >= *m_acceptPause) {
        m_acceptPause.reset();
    }
    if (fds[m_first].revents != 0) {
        AcceptAll();
    }
    Settle();
}

void Vxi11Door::AcceptAll() {
    for (;;) {
        net::Peer peer;
        const int fd = net::Accept(m_listener, peer);
        if (fd == net::kExhausted) {
            m_acceptPause = Clock::now() + kAcceptPause;
        }
        if (fd < 0) {
            return;
        }
        if (!net::Admits(m_setup.allow, peer.address) ||
            m_connections.size() >= m_setup.maxConnections) {
            net::Refuse(fd);
            continue;
        }
        net::NoDelay(fd);
        m_connections.push_back(
            std::make_unique<Connection>(fd, ++m_lastId, peer, m_service.MaxRecordBytes()));
    }
}

void Vxi11Door::Read(Connection& connection) {
    char buffer[kReadChunk];
    std::size_t count = 0;
    switch (net::Receive(connection.fd, buffer, sizeof buffer, count)) {
        case net::Io::Done:
            m_current = &connection;
            if (!m_service.Receive(connection.id, connection.records,
                                   std::string_view(buffer, count), NowMs())) {
                connection.closed = true;  // a record over the limit: its framing is lost
            }
            m_current = nullptr;
            break;
        case net::Io::WouldBlock:
            break;
        case net::Io::Closed:
            connection.closed = true;
            break;
    }
}

bool Vxi11Door::Complete(std::uint64_t client, const ExchangeResult& outcome) {
    if ((client & kClientBit) == 0) {
        return false;
    }
    if (const auto it = m_links.find(client); it != m_links.end()) {
        it->second->Complete(outcome);
    }
    Settle();
    return true;
}

std::optional<Vxi11Door::Clock::time_point> Vxi11Door::NextDeadline() const {
    std::optional<Clock::time_point> next = m_acceptPause;
    if (const std::optional<vxi11::Millis> due = m_service.Core().NextDeadline()) {
        const Clock::time_point at{std::chrono::milliseconds(*due)};
        next = next ? std::min(*next, at) : at;
    }
    return next;
}

void Vxi11Door::Settle() {
    m_service.Core().Advance(NowMs());
    for (const std::unique_ptr<Connection>& connection : m_connections) {
        if (connection->closed || connection->out.empty()) {
            continue;
        }
        std::size_t sent = 0;
        if (net::Send(connection->fd, connection->out.data(), connection->out.size(), sent) ==
            net::Io::Closed) {
            connection->closed = true;
            continue;
        }
        connection->out.erase(0, sent);
        connection->closed = connection->out.size() > kOutputLimit;
    }
    // Ending a connection's links may answer nothing on it, but may free a lock another
    // connection waits for: those replies are sent on the next round.
    for (std::size_t i = 0; i < m_connections.size();) {
        if (!m_connections[i]->closed) {
            ++i;
            continue;
        }
        std::unique_ptr<Connection> gone = std::move(m_connections[i]);
        m_connections.erase(m_connections.begin() + static_cast<std::ptrdiff_t>(i));
        m_service.Core().CloseConnection(gone->id);
        net::Close(gone->fd);
    }
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
    return std::make_unique<Link>(*this, kClientBit | ++m_lastId, m_current->peer, lid);
}

void Vxi11Door::Send(vxi11::ConnectionId connection, std::string record) {
    for (const std::unique_ptr<Connection>& each : m_connections) {
        if (each->id == connection && !each->closed) {
            each->out.append(record);
            return;
        }
    }
}
