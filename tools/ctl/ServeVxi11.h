// serve's VXI-11 door: the core channel (and the abort channel, on the same port) over TCP,
// one SCPI engine per link, a door of the same pump as the raw socket and on the same route to
// the module. The loop routes the module's answers for the door's clients here, and counts the
// links against --max-clients (its connections themselves only against its own limit).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ConnectionPump.h"
#include "ModuleSession.h"
#include "ScpiEngine.h"
#include "ServeSocket.h"
#include "Vxi11Service.h"

/// What the door shares with the rest of the server.
struct Vxi11Setup {
    const scpi::EngineConfig* config = nullptr;
    std::vector<net::AddressRange> allow;  ///< others are reset without a byte
    std::size_t maxConnections = 8;        ///< TCP connections at once (each may hold links)
    /// Queues a module request for `client`; its outcome comes back through Complete.
    std::function<void(std::uint64_t client, const ModuleRequest&)> submit;
    /// Takes back `client`'s request unless the module has it already.
    std::function<std::optional<ModuleRequest>(std::uint64_t client)> cancel;
    /// True while another client (a link or a raw connection) fits under --max-clients.
    std::function<bool()> hasRoom;
    /// A line in the settings' log, and a client's command as that log shows it.
    std::function<void(const net::Peer&, const std::string&)> log;
    std::function<std::string(std::string_view)> logText;
};

class Vxi11Door final : public net::Door, private vxi11::ServiceHost {
public:
    using Clock = std::chrono::steady_clock;
    /// Client ids of links have this bit set: the raw socket's never do.
    static constexpr std::uint64_t kClientBit = std::uint64_t{1} << 63;

    /// Serves on `listener` (a listening TCP socket it then owns) as a door of `pump`.
    Vxi11Door(Vxi11Setup setup, int listener, net::ConnectionPump& pump);
    ~Vxi11Door() override;
    Vxi11Door(const Vxi11Door&) = delete;
    Vxi11Door& operator=(const Vxi11Door&) = delete;

    bool Admits(int fd, const net::Peer& peer) override;
    std::unique_ptr<net::ClientHandler> Open(net::ClientId id, const net::Peer& peer) override;
    bool Limited() const override { return false; }
    /// The module's outcome for `client`; false when the client is not one of the door's.
    bool Complete(std::uint64_t client, const ExchangeResult& outcome);
    std::size_t LinkCount() const { return m_links.size(); }

    class Link;

private:
    class Connection;

    std::optional<int> FindInstrument(std::string_view device) override;
    std::unique_ptr<vxi11::LinkInstrument> OpenLink(int instrument, vxi11::LinkId lid) override;
    void Send(vxi11::ConnectionId connection, std::string record) override;

    Vxi11Setup m_setup;
    int m_listener;
    net::ConnectionPump& m_pump;
    vxi11::Service m_service;
    std::set<net::ClientId> m_connections;   // the pump's clients that are this door's
    std::map<std::uint64_t, Link*> m_links;  // by client id
    const net::Peer* m_current = nullptr;    // who made the call being run
    std::uint64_t m_lastId = 0;
};
