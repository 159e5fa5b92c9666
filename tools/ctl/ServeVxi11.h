// serve's VXI-11 door: the core channel (and the abort channel, on the same port) over TCP,
// one SCPI engine per link, beside the raw socket in the same loop and on the same route to
// the module. The loop polls the descriptors it is given, hands back what is ready, routes the
// module's answers for the door's clients here, and counts the links against --max-clients.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

class Vxi11Door final : private vxi11::ServiceHost {
public:
    using Clock = std::chrono::steady_clock;
    /// Client ids of links have this bit set: the raw socket's never do.
    static constexpr std::uint64_t kClientBit = std::uint64_t{1} << 63;

    /// Serves on `listener` (a listening TCP socket it then owns).
    Vxi11Door(Vxi11Setup setup, int listener);
    ~Vxi11Door() override;
    Vxi11Door(const Vxi11Door&) = delete;
    Vxi11Door& operator=(const Vxi11Door&) = delete;

    /// Appends the descriptors to poll; Handle reads their results from the same places.
    void AddPolls(std::vector<net::PollFd>& fds);
    void Handle(const std::vector<net::PollFd>& fds);
    /// When a waiting call times out (or accepting may resume), if ever.
    std::optional<Clock::time_point> NextDeadline() const;
    /// The module's outcome for `client`; false when the client is not one of the door's.
    bool Complete(std::uint64_t client, const ExchangeResult& outcome);
    std::size_t LinkCount() const { return m_links.size(); }

    class Link;

private:
    struct Connection;

    std::optional<int> FindInstrument(std::string_view device) override;
    std::unique_ptr<vxi11::LinkInstrument> OpenLink(int instrument, vxi11::LinkId lid) override;
    void Send(vxi11::ConnectionId connection, std::string record) override;

    void AcceptAll();
    void Read(Connection& connection);
    /// Sends what is pending, ends the waits that are due and frees closed connections.
    void Settle();

    Vxi11Setup m_setup;
    int m_listener;
    vxi11::Service m_service;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::map<std::uint64_t, Link*> m_links;  // by client id
    std::size_t m_first = 0;                 // where AddPolls put the listener
    std::size_t m_polled = 0;                // the connections it put after it
    Connection* m_current = nullptr;         // the connection whose call is being run
    std::optional<Clock::time_point> m_acceptPause;
    std::uint64_t m_lastId = 0;
};
