#include "ConnectionPump.h"

#include <algorithm>
#include <string>

namespace net {

namespace {

constexpr std::size_t kReadChunk = 4096;

}  // namespace

/// One connection: its socket, its door's handler and its unsent answers.
struct ConnectionPump::Client {
    int fd;
    ClientId id;
    std::unique_ptr<ClientHandler> handler;
    std::string out;
    Clock::time_point heard;  // last input, output, or end of what it waited for
    bool limited = true;      // its door's: counted against the client limit, may idle
    bool closed = false;
    bool inputEnded = false;  // it closed (or half-closed) while not read
    bool ending = false;      // Drop, or CloseAll within a step: one try to send, then closed
    bool silent = false;      // CloseAll: its handler is not told
};

ConnectionPump::ConnectionPump(PumpLimits limits) : m_limits(limits) {}

ConnectionPump::~ConnectionPump() {
    for (const std::unique_ptr<Client>& client : m_clients) {
        Close(client->fd);
    }
}

void ConnectionPump::AddDoor(int listener, Door& door) {
    m_listeners.push_back({listener, &door});
}

void ConnectionPump::RemoveDoor(int listener) {
    std::erase_if(m_listeners, [listener](const Listener& each) { return each.fd == listener; });
}

void ConnectionPump::Watch(int fd, short events, std::function<void(short)> ready) {
    m_watched.push_back({fd, events, std::move(ready)});
}

void ConnectionPump::AddDeadline(std::function<std::optional<Clock::time_point>()> next,
                                 std::function<void()> due) {
    m_deadlines.push_back({std::move(next), std::move(due)});
}

ConnectionPump::Client* ConnectionPump::Find(ClientId id) const {
    for (const std::unique_ptr<Client>& client : m_clients) {
        if (client->id == id) {
            return client.get();
        }
    }
    return nullptr;
}

bool ConnectionPump::Write(ClientId id, std::string_view bytes) {
    Client* client = Find(id);
    if (client == nullptr || client->closed) {
        return false;
    }
    client->out.append(bytes);
    if (!m_inStep) {
        Flush(*client);
    }
    return !client->closed;
}

void ConnectionPump::Drop(ClientId id) {
    if (Client* client = Find(id)) {
        client->ending = true;
    }
}

ClientHandler* ConnectionPump::Heard(ClientId id) {
    Client* client = Find(id);
    if (client == nullptr) {
        return nullptr;
    }
    client->heard = Clock::now();
    return client->handler.get();
}

void ConnectionPump::CloseAll() {
    if (m_inStep) {
        for (const std::unique_ptr<Client>& client : m_clients) {
            client->ending = true;
            client->silent = true;
        }
        return;
    }
    for (const std::unique_ptr<Client>& client : m_clients) {
        Flush(*client);
        Close(client->fd);
    }
    m_clients.clear();
}

bool ConnectionPump::Run() {
    m_stopped = false;
    while (!m_stopped) {
        if (!Step(-1)) {
            return false;
        }
    }
    return true;
}

std::vector<PollFd> ConnectionPump::Interest() const {
    std::vector<PollFd> fds;
    fds.reserve(m_watched.size() + m_listeners.size() + m_clients.size());
    for (const Watched& watched : m_watched) {
        fds.push_back({watched.fd, watched.events, 0});
    }
    for (const Listener& listener : m_listeners) {
        fds.push_back({listener.fd, m_acceptPause ? short{0} : kReadable, 0});
    }
    for (const std::unique_ptr<Client>& client : m_clients) {
        fds.push_back({client->fd, Events(*client), 0});
    }
    return fds;
}

bool ConnectionPump::Step(int timeoutMs) {
    std::vector<PollFd> fds = Interest();
    const int due = WaitMs();
    const int wait = timeoutMs < 0 ? due : (due < 0 ? timeoutMs : std::min(timeoutMs, due));
    if (!Poll(fds, wait)) {
        return false;
    }
    m_inStep = true;
    m_stopped = false;
    std::size_t at = 0;
    for (std::size_t i = 0; i < m_watched.size(); ++i, ++at) {
        if (fds[at].revents != 0) {
            m_watched[i].ready(fds[at].revents);
            if (m_stopped) {
                m_inStep = false;
                return true;
            }
        }
    }
    const Clock::time_point now = Clock::now();
    for (const Deadline& deadline : m_deadlines) {
        if (const auto when = deadline.next(); when && *when <= now) {
            deadline.due();
        }
    }
    const std::size_t listenersAt = at;
    at += m_listeners.size();
    // Clients accepted after the poll are not in `fds`: the count was taken there.
    const std::size_t polled = fds.size() - at;
    for (std::size_t i = 0; i < polled && i < m_clients.size(); ++i) {
        Serve(*m_clients[i], fds[at + i].revents);
    }
    for (const std::unique_ptr<Client>& client : m_clients) {
        Flush(*client);
    }
    // Clients that left make room before newcomers are counted against the limit.
    DropGone();
    if (m_acceptPause && Clock::now() >= *m_acceptPause) {
        m_acceptPause.reset();
    }
    for (std::size_t i = 0; i < fds.size() - listenersAt - polled; ++i) {
        // A door removed within this step is not served any more.
        const int fd = fds[listenersAt + i].fd;
        const auto listener = std::find_if(m_listeners.begin(), m_listeners.end(),
                                           [fd](const Listener& each) { return each.fd == fd; });
        if (fds[listenersAt + i].revents != 0 && listener != m_listeners.end()) {
            AcceptAll(*listener);
        }
    }
    m_inStep = false;
    return true;
}

std::size_t ConnectionPump::ClientCount() const {
    return static_cast<std::size_t>(
        std::count_if(m_clients.begin(), m_clients.end(),
                      [](const std::unique_ptr<Client>& each) { return each->limited; }));
}

bool ConnectionPump::Outstanding(const Client& client) const {
    return !client.limited || !client.handler->Reading() || !client.out.empty();
}

// A client that is not read is still watched (once) for its leaving, so that it frees its
// place and what it queued at once.
short ConnectionPump::Events(const Client& client) const {
    short events = kReadable;
    if (!client.handler->Reading()) {
        events = client.inputEnded ? 0 : kPeerClosed;
    }
    return client.out.empty() ? events : static_cast<short>(events | kWritable);
}

void ConnectionPump::AcceptAll(const Listener& listener) {
    for (;;) {
        Peer peer;
        const int fd = Accept(listener.fd, peer);
        if (fd == kExhausted) {
            m_acceptPause = Clock::now() + kAcceptPause;
        }
        if (fd < 0) {
            return;
        }
        const bool admitted = listener.door->Admits(fd, peer);
        const bool limited = listener.door->Limited();
        if (admitted && limited && !HasRoom()) {
            DropDeparted();  // a client may have left since the poll looked
        }
        if (!admitted || (limited && !HasRoom())) {
            Refuse(fd);
            continue;
        }
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->id = ++m_lastId;
        client->heard = Clock::now();
        client->limited = limited;
        client->handler = listener.door->Open(client->id, peer);
        m_clients.push_back(std::move(client));
    }
}

bool ConnectionPump::HasRoom() const {
    return m_limits.maxClients <= 0 ||
           ClientCount() < static_cast<std::size_t>(m_limits.maxClients);
}

// Looks again, without waiting, for clients that left.
void ConnectionPump::DropDeparted() {
    std::vector<PollFd> fds;
    for (const std::unique_ptr<Client>& client : m_clients) {
        fds.push_back({client->fd, Events(*client), 0});
    }
    if (!Poll(fds, 0)) {
        return;
    }
    for (std::size_t i = 0; i < m_clients.size(); ++i) {
        Serve(*m_clients[i], fds[i].revents);
        Flush(*m_clients[i]);
    }
    DropGone();
}

void ConnectionPump::Serve(Client& client, short revents) {
    if ((revents & (kError | kInvalid)) != 0) {
        client.closed = true;
        return;
    }
    if (client.closed || client.ending) {
        return;
    }
    if (!client.handler->Reading()) {
        // It is not read while it waits. A reset means it has gone; the end of its input (a
        // close, or a half-close as socat's) is judged by its handler.
        client.closed = client.closed || (revents & kHangUp) != 0;
        client.inputEnded = client.inputEnded || (revents & kPeerClosed) != 0;
        return;
    }
    if ((revents & (kReadable | kHangUp)) == 0) {
        return;
    }
    char buffer[kReadChunk];
    std::size_t count = 0;
    switch (Receive(client.fd, buffer, sizeof buffer, count)) {
        case Io::Done:
            client.heard = Clock::now();
            client.handler->Received(std::string_view(buffer, count));
            break;
        case Io::WouldBlock:
            break;
        case Io::Closed:
            client.closed = true;
            break;
    }
}

void ConnectionPump::Flush(Client& client) {
    if (client.closed || client.out.empty()) {
        return;
    }
    std::size_t sent = 0;
    if (Send(client.fd, client.out.data(), client.out.size(), sent) == Io::Closed) {
        client.closed = true;
        return;
    }
    client.out.erase(0, sent);
    if (sent > 0) {
        client.heard = Clock::now();
    }
    if (client.out.size() > kOutputLimit) {
        client.closed = true;  // it does not read: its answers would pile up for ever
    }
}

int ConnectionPump::WaitMs() const {
    Clock::time_point next = m_acceptPause.value_or(Clock::time_point::max());
    for (const Deadline& deadline : m_deadlines) {
        next = std::min(next, deadline.next().value_or(Clock::time_point::max()));
    }
    if (m_limits.idleTimeoutS > 0) {
        for (const std::unique_ptr<Client>& client : m_clients) {
            if (!Outstanding(*client)) {
                next = std::min(next, client->heard + std::chrono::seconds(m_limits.idleTimeoutS));
            }
        }
    }
    if (next == Clock::time_point::max()) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
}

void ConnectionPump::DropGone() {
    const Clock::time_point now = Clock::now();
    const auto idle = [&](const Client& client) {
        return m_limits.idleTimeoutS > 0 && !Outstanding(client) &&
               now - client.heard >= std::chrono::seconds(m_limits.idleTimeoutS);
    };
    // Handlers told of a leaving may end other clients (CloseAll): the list is read by index.
    for (std::size_t i = 0; i < m_clients.size();) {
        Client& client = *m_clients[i];
        bool gone = client.ending || client.closed || idle(client);
        if (!gone && client.inputEnded && !client.handler->Reading()) {
            gone = client.handler->InputEnded();
        } else if (gone && !client.silent) {
            client.handler->Left();
        }
        if (!gone) {
            ++i;
            continue;
        }
        if (client.ending) {
            Flush(client);  // ended after this step's sending (by a handler told of a leaving)
        }
        Close(client.fd);
        m_clients.erase(m_clients.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

}  // namespace net
