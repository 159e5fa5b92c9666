// The connection loop of every socket server: listeners (one per door: what a client there
// speaks is the door's), accepting with a pause when descriptors run out, the admission check
// and the client limit before a client exists, each client's unsent answers and their limit,
// its leaving watched for while it is not read, clients that left freed before newcomers are
// counted, and the idle timeout. It knows no toolkit: Run() polls on its own, and a loop of
// another toolkit watches Interest() and calls Step(0) whenever one of those is ready.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "ServeSocket.h"

namespace net {

using ClientId = std::uint64_t;

/// What one client's bytes mean: the door's part of a connection.
class ClientHandler {
public:
    virtual ~ClientHandler() = default;
    /// Bytes the client sent.
    virtual void Received(std::string_view bytes) = 0;
    /// False while the client waits for something of its own: it is not read then (its later
    /// input waits in the kernel, so buffers stay bounded), it is never idle, and only its
    /// leaving is watched for.
    virtual bool Reading() const = 0;
    /// Its input ended while it was not read; true when it may go at once (nothing of it is
    /// under way any more), false to answer it first.
    virtual bool InputEnded() { return false; }
    /// It goes (closed, failed, idle, or it did not read its answers); its socket closes next.
    virtual void Left() {}
};

/// One kind of service on one listener.
class Door {
public:
    virtual ~Door() = default;
    /// Whether `peer` on connection `fd` may come in; one refused gets a reset and no byte.
    virtual bool Admits(int fd, const Peer& peer) = 0;
    /// The handler of a newcomer admitted, known to the pump as `id`.
    virtual std::unique_ptr<ClientHandler> Open(ClientId id, const Peer& peer) = 0;
    /// False for a door that limits its clients itself (their calls may hold them for long, or
    /// they only ask the way): the client limit does not count them and they are never idle.
    virtual bool Limited() const { return true; }
};

/// The limits every door shares.
struct PumpLimits {
    int maxClients = 0;    ///< clients at once; 0: no limit
    int idleTimeoutS = 0;  ///< a client with nothing under way is closed after it; 0: never
};

class ConnectionPump {
public:
    using Clock = std::chrono::steady_clock;
    /// Unread answers beyond this mean a client that does not read: it is dropped.
    static constexpr std::size_t kOutputLimit = std::size_t{64} * 1024;
    /// How long accepting rests when the process is out of descriptors: the connections stay
    /// queued, and asking again at once would only spin. Clients wait until some are closed.
    static constexpr auto kAcceptPause = std::chrono::milliseconds(250);

    explicit ConnectionPump(PumpLimits limits = {});
    /// Closes the clients still here (without Left); listeners stay their owners'.
    ~ConnectionPump();
    ConnectionPump(const ConnectionPump&) = delete;
    ConnectionPump& operator=(const ConnectionPump&) = delete;

    /// Serves `door` on the non-blocking listening socket `listener`, which stays the caller's.
    void AddDoor(int listener, Door& door);
    void RemoveDoor(int listener);
    /// A descriptor of a door's own (a waker, a stop), polled before the clients are served;
    /// `ready` gets what came. A step ends at once when one of these calls Stop().
    void Watch(int fd, short events, std::function<void(short revents)> ready);
    /// A time of a door's own: `next` says when (none: no such time), `due` runs once it passed.
    void AddDeadline(std::function<std::optional<Clock::time_point>()> next,
                     std::function<void()> due);

    /// Queues `bytes` to client `id`: sent at the end of the step, or at once outside one.
    /// False when the client is gone or going (outside a step, the next step frees it).
    bool Write(ClientId id, std::string_view bytes);
    /// Ends client `id` (a door that cannot make sense of it any more) after one try to send
    /// what it has not read: at the end of the step, or by the next one outside a step; its
    /// handler is told as of any leaving.
    void Drop(ClientId id);
    /// Counts client `id` as heard from now (an answer it waited for came); its handler, or null
    /// when it is gone.
    ClientHandler* Heard(ClientId id);
    /// Ends every client now (within a step: at its end), after one try to send what it has
    /// not read; their handlers are not told.
    void CloseAll();
    /// The clients the client limit counts.
    std::size_t ClientCount() const;

    /// Steps until Stop() or a failure of poll (false).
    bool Run();
    /// One round: waits up to `timeoutMs` (-1: as long as nothing is due) for the descriptors,
    /// then serves them. False when poll failed.
    bool Step(int timeoutMs);
    void Stop() { m_stopped = true; }
    /// The descriptors and events the next step waits for (a paused listener asks for none).
    std::vector<PollFd> Interest() const;
    /// Milliseconds until something is due by time (an idle client, the pause's end, a door's
    /// time); -1: nothing.
    int WaitMs() const;

private:
    struct Client;
    struct Listener {
        int fd;
        Door* door;
    };
    struct Watched {
        int fd;
        short events;
        std::function<void(short)> ready;
    };
    struct Deadline {
        std::function<std::optional<Clock::time_point>()> next;
        std::function<void()> due;
    };

    Client* Find(ClientId id) const;
    short Events(const Client& client) const;
    bool Outstanding(const Client& client) const;
    void Serve(Client& client, short revents);
    void Flush(Client& client);
    void AcceptAll(const Listener& listener);
    bool HasRoom() const;
    void DropDeparted();
    void DropGone();

    PumpLimits m_limits;
    std::vector<Listener> m_listeners;
    std::vector<Watched> m_watched;
    std::vector<Deadline> m_deadlines;
    std::vector<std::unique_ptr<Client>> m_clients;
    std::optional<Clock::time_point> m_acceptPause;  // accepting rests until then
    ClientId m_lastId = 0;
    bool m_inStep = false;
    bool m_stopped = false;
};

}  // namespace net
