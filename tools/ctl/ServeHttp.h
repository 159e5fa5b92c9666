// serve's web door: the welcome page, the LXI identification document and the page's state and
// settings over HTTP, a door of the same pump as the SCPI doors and on the same route to the
// module. A setting goes through an SCPI engine of its own, so every rule of a setting made over
// SCPI holds for it. The page shows what any client's exchange brought back; while a page is
// watching, the door also reads the module itself: all of it often where a panel holds the port
// (anyone at the panel may change it), one quantity every 2 s where the server holds it alone
// (every change comes through the server, and the reading only tells that the module is there).
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

#include "ConnectionPump.h"
#include "HostPolicy.h"
#include "ModuleSession.h"
#include "PageState.h"
#include "ScpiEngine.h"
#include "ServeSocket.h"

/// What the door shares with the rest of the server.
struct HttpSetup {
    const scpi::EngineConfig* config = nullptr;
    std::vector<net::AddressRange> allow;  ///< others are reset without a byte
    web::OurHosts ours;                    ///< the Host headers answered
    std::string hostName;                  ///< this machine's name, for the identification
    web::PageFacts facts;                  ///< what the page is told (its VISA strings per reach)
    int socketPort = 5025;                 ///< the raw SCPI socket's port
    bool vxi11 = true;                     ///< a VXI-11 instrument is served
    /// Queues a module request for `client`; its outcome comes back through Complete.
    std::function<void(std::uint64_t client, const ModuleRequest&)> submit;
    /// Takes back `client`'s request unless the module has it already.
    std::function<std::optional<ModuleRequest>(std::uint64_t client)> cancel;
    /// The route to the module as it is now.
    std::function<std::string()> route;
    /// True while another program (the panel the route goes through) may change the module.
    std::function<bool()> shared;
    /// A line in the settings' log, and a client's command as that log shows it.
    std::function<void(const net::Peer&, const std::string&)> log;
    std::function<std::string(std::string_view)> logText;
};

class HttpDoor final : public net::Door {
public:
    using Clock = std::chrono::steady_clock;
    /// The door's own reads of the module run as this client; no connection has its bit.
    static constexpr std::uint64_t kReaderClient = std::uint64_t{1} << 62;
    /// Connections at once (a browser opens up to six); one more is reset.
    static constexpr std::size_t kMaxConnections = 16;
    /// Requests on one connection before it is closed, so none holds its place for ever.
    static constexpr int kMaxRequests = 1000;
    /// A connection with no request under way, or with one begun and not finished, is closed
    /// after this: a keep-alive connection, or a client sending its request byte by byte.
    static constexpr auto kIdle = std::chrono::seconds(10);
    /// The module is read for the page while a state request came within this...
    static constexpr auto kWatched = std::chrono::seconds(3);
    /// ...all of it every this long (from the end of one reading to the start of the next)
    /// where another program may change it...
    static constexpr auto kReadGap = std::chrono::milliseconds(250);
    /// ...else one quantity every this long: an exchange costs the server far more than a
    /// page's request (the link's reading of the reply), and it only shows the module is there.
    static constexpr auto kCheckGap = std::chrono::seconds(2);

    /// Serves on `listener` (a listening TCP socket it then owns) as a door of `pump`.
    HttpDoor(HttpSetup setup, int listener, net::ConnectionPump& pump);
    ~HttpDoor() override;
    HttpDoor(const HttpDoor&) = delete;
    HttpDoor& operator=(const HttpDoor&) = delete;

    bool Admits(int fd, const net::Peer& peer) override;
    std::unique_ptr<net::ClientHandler> Open(net::ClientId id, const net::Peer& peer) override;
    bool Limited() const override { return false; }

    /// What any client's request came back with: the page shows it.
    void Observe(const ModuleRequest& request, const ExchangeResult& outcome);
    /// The module's outcome for `client`; false when the client is not one of the door's.
    bool Complete(std::uint64_t client, const ExchangeResult& outcome);

    class Connection;

private:
    void Watched();
    void StartReading();
    void ReadDone();
    std::optional<Clock::time_point> NextDue() const;
    void Due();

    HttpSetup m_setup;
    int m_listener;
    net::ConnectionPump& m_pump;
    web::PageState m_state;
    std::map<net::ClientId, Connection*> m_connections;
    net::Address m_reached;  // the address the newest admitted connection reached
    Clock::time_point m_watchedUntil{};
    int m_reading = -1;      // the quantity being read for the page; -1: none
    bool m_readAll = false;  // the reading under way reads every quantity
    int m_nextCheck = 0;     // the quantity the next one-quantity reading reads
    std::optional<Clock::time_point> m_nextRead;
};
