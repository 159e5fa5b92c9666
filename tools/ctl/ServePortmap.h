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

#include "Portmap.h"
#include "ServeSocket.h"

struct ServeOptions;
class PortmapDoor;

/// The VXI-11 core channel's listening socket, with `portmap` made to find it; -1 when there
/// is none (VXI-11 is another server's, or the port cannot be had: said on standard error).
int OpenVxi11(const ServeOptions& options, std::unique_ptr<PortmapDoor>& portmap);

class PortmapDoor {
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
    ~PortmapDoor();
    PortmapDoor(const PortmapDoor&) = delete;
    PortmapDoor& operator=(const PortmapDoor&) = delete;

    Outcome Result() const { return m_outcome; }
    /// As the VXI-11 door's: the descriptors to poll, and the handling of what they reported.
    void AddPolls(std::vector<net::PollFd>& fds);
    void Handle(const std::vector<net::PollFd>& fds);
    /// When accepting may resume after the process ran out of descriptors.
    std::optional<Clock::time_point> NextDeadline() const { return m_acceptPause; }

private:
    struct Connection;

    bool Register();
    void Serve(const net::Address& address, int corePort);
    void AnswerDatagrams();
    void AcceptAll();

    std::vector<net::AddressRange> m_allow;
    vxi11::Mapping m_mapping;
    Outcome m_outcome = Outcome::Unbound;
    std::unique_ptr<vxi11::PortmapServer> m_server;
    int m_tcp = -1;
    int m_udp = -1;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::size_t m_first = 0;
    std::size_t m_polled = 0;
    std::optional<Clock::time_point> m_acceptPause;
};
