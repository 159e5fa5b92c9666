// How VXI-11 clients find serve's core channel: they ask the portmapper on port 111 (TCP, or a
// UDP broadcast for discovery). Where rpcbind runs, the core channel is registered with it for
// as long as the server runs; where none runs, the server answers on 111 itself, over TCP and
// UDP, to the peers the allow list admits. Where 111 is held by another server's core channel,
// VXI-11 is that server's.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ConnectionPump.h"
#include "Portmap.h"
#include "ServeSocket.h"

struct ServeOptions;
class PortmapDoor;

/// The VXI-11 core channel's listening socket, with `portmap` made to find it; -1 when there
/// is none (VXI-11 is another server's, or the port cannot be had: said on standard error).
int OpenVxi11(const ServeOptions& options, std::unique_ptr<PortmapDoor>& portmap);

class PortmapDoor final : public net::Door {
public:
    using Clock = std::chrono::steady_clock;

    /// What the door found on this host.
    enum class Outcome {
        Registered,  ///< with the running rpcbind
        Serving,     ///< the server answers on 111 itself
        Unbound,     ///< 111 cannot be had (no privilege, or taken): said on standard error
        HeldByOther  ///< another server's core channel is registered: said on standard error
    };

    /// Finds or becomes the portmapper for the core channel on `corePort`; `address` is where
    /// the server listens. What it did goes to standard error when it needs the user.
    PortmapDoor(const net::Address& address, int corePort, std::vector<net::AddressRange> allow);
    /// Withdraws the registration, if it made one.
    ~PortmapDoor() override;
    PortmapDoor(const PortmapDoor&) = delete;
    PortmapDoor& operator=(const PortmapDoor&) = delete;

    Outcome Result() const { return m_outcome; }
    /// Answers on `pump` while it serves on 111 itself (it outlives the pump's running).
    void Attach(net::ConnectionPump& pump);

    bool Admits(int fd, const net::Peer& peer) override;
    std::unique_ptr<net::ClientHandler> Open(net::ClientId id, const net::Peer& peer) override;
    bool Limited() const override { return false; }

private:
    class Connection;

    bool Register();
    void Serve(const net::Address& address, int corePort);
    void AnswerDatagrams();

    std::vector<net::AddressRange> m_allow;
    vxi11::Mapping m_mapping;
    Outcome m_outcome = Outcome::Unbound;
    std::unique_ptr<vxi11::PortmapServer> m_server;
    int m_tcp = -1;
    int m_udp = -1;
    net::ConnectionPump* m_pump = nullptr;
    std::size_t m_connections = 0;
};
