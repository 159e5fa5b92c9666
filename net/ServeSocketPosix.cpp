#include "ServeSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace net {

namespace {

// The kind of the bind failure in errno.
void NoteFailure(BindFailure* failure) {
    if (failure != nullptr) {
        *failure = errno == EACCES || errno == EPERM ? BindFailure::NoPrivilege
                   : errno == EADDRINUSE             ? BindFailure::InUse
                                                     : BindFailure::Other;
    }
}

}  // namespace

int Listen(const Address& address, int port, std::string& error, BindFailure* failure) {
    sockaddr_storage where{};
    const socklen_t length = static_cast<socklen_t>(ToSocketAddress(address, port, &where));
    const int fd = ::socket(where.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (where.ss_family == AF_INET6) {
        // [::] takes IPv4 clients too, whatever the system's default; they arrive mapped.
        const int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    // A deep queue: a storm of connections while the loop waits for the CPU must not overflow
    // it, or the kernel drops SYNs and those clients wait a second for the retransmission.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), length) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        error = std::strerror(errno);
        NoteFailure(failure);
        ::close(fd);
        return -1;
    }
    return fd;
}

int BoundPort(int listener) {
    sockaddr_storage where{};
    socklen_t length = sizeof where;
    if (::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
        return -1;
    }
    Address address;
    int port = -1;
    FromSocketAddress(&where, address, port);
    return port;
}

Address LocalAddress(int fd) {
    sockaddr_storage where{};
    socklen_t length = sizeof where;
    Address address;
    int port = -1;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) == 0) {
        FromSocketAddress(&where, address, port);
    }
    return address;
}

int Accept(int listener, Peer& peer) {
    for (;;) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            // A client whose machine vanished without a word is found out in time.
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
            FromSocketAddress(&from, peer.address, peer.port);
            return fd;
        }
        switch (errno) {
            case EAGAIN:
#if EWOULDBLOCK != EAGAIN
            case EWOULDBLOCK:
#endif
                return kNoneWaiting;
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
            case EPERM:
            case ENETDOWN:
            case ENETUNREACH:
            case EHOSTDOWN:
            case EHOSTUNREACH:
            case ENONET:
            case ENOPROTOOPT:
                break;  // this connection failed while queued; the next may be fine
            default:
                // Out of descriptors or buffers (EMFILE, ENFILE, ENOBUFS, ENOMEM), or a
                // failure that asking again at once would only repeat.
                return kExhausted;
        }
    }
}

void Refuse(int fd) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}

void Close(int fd) {
    ::close(fd);
}

Io Receive(int fd, char* buffer, std::size_t size, std::size_t& count) {
    count = 0;
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, size, 0);
        if (got > 0) {
            count = static_cast<std::size_t>(got);
            return Io::Done;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? Io::WouldBlock : Io::Closed;
    }
}

Io Send(int fd, const char* data, std::size_t size, std::size_t& count) {
    count = 0;
    for (;;) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent >= 0) {
            count = static_cast<std::size_t>(sent);
            return Io::Done;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? Io::WouldBlock : Io::Closed;
    }
}

void NoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int BindDatagram(const Address& address, int port, std::string& error, BindFailure* failure) {
    sockaddr_storage where{};
    const socklen_t length = static_cast<socklen_t>(ToSocketAddress(address, port, &where));
    const int fd = ::socket(where.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (where.ss_family == AF_INET6) {
        const int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), length) != 0) {
        error = std::strerror(errno);
        NoteFailure(failure);
        ::close(fd);
        return -1;
    }
    return fd;
}

Io ReceiveFrom(int fd, char* buffer, std::size_t size, std::size_t& count, Peer& peer) {
    count = 0;
    for (;;) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const ssize_t got =
            ::recvfrom(fd, buffer, size, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &length);
        if (got >= 0) {
            count = std::min(static_cast<std::size_t>(got), size);
            FromSocketAddress(&from, peer.address, peer.port);
            return Io::Done;
        }
        if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? Io::WouldBlock : Io::Closed;
        }
    }
}

void SendTo(int fd, const char* data, std::size_t size, const Peer& peer) {
    sockaddr_storage where{};
    sockaddr_storage own{};
    socklen_t ownLength = sizeof own;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength);
    socklen_t length = static_cast<socklen_t>(ToSocketAddress(peer.address, peer.port, &where));
    if (own.ss_family == AF_INET6 && where.ss_family == AF_INET) {
        // A dual-stack socket answers an IPv4 peer at its mapped address.
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(where);
        sockaddr_in6 mapped{};
        mapped.sin6_family = AF_INET6;
        mapped.sin6_port = v4.sin_port;
        mapped.sin6_addr.s6_addr[10] = mapped.sin6_addr.s6_addr[11] = 0xFF;
        std::memcpy(&mapped.sin6_addr.s6_addr[12], &v4.sin_addr, 4);
        std::memcpy(&where, &mapped, sizeof mapped);
        length = sizeof mapped;
    }
    while (::sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&where),
                    length) < 0 &&
           errno == EINTR) {
    }
}

namespace {

// A blocking socket of `type` connected to `address`:`port` within `timeoutMs`; -1 if not.
int ConnectTo(int type, const Address& address, int port, int timeoutMs) {
    sockaddr_storage where{};
    const socklen_t length = static_cast<socklen_t>(ToSocketAddress(address, port, &where));
    const int fd = ::socket(where.ss_family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&where), length) != 0) {
        pollfd p{fd, POLLOUT, 0};
        int error = errno;
        socklen_t size = sizeof error;
        if (errno != EINPROGRESS || ::poll(&p, 1, timeoutMs) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

}  // namespace

bool AskDatagram(const Address& address, int port, const std::string& request, int timeoutMs,
                 std::string& answer) {
    // Connected, so that a closed port's ICMP answer ends the wait at once.
    const int fd = ConnectTo(SOCK_DGRAM, address, port, timeoutMs);
    if (fd < 0) {
        return false;
    }
    bool got = false;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
        pollfd p{fd, POLLIN, 0};
        char buffer[2048];
        const ssize_t size =
            ::poll(&p, 1, timeoutMs) == 1 ? ::recv(fd, buffer, sizeof buffer, 0) : -1;
        if (size > 0) {
            answer.assign(buffer, static_cast<std::size_t>(size));
            got = true;
        }
    }
    ::close(fd);
    return got;
}

bool Reachable(const Address& address, int port, int timeoutMs) {
    const int fd = ConnectTo(SOCK_STREAM, address, port, timeoutMs);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

// PollFd is pollfd with Linux's values, so the entries go to poll() as they are.
static_assert(sizeof(PollFd) == sizeof(pollfd) &&
              offsetof(PollFd, revents) == offsetof(pollfd, revents));
static_assert(kReadable == POLLIN && kWritable == POLLOUT && kError == POLLERR &&
              kHangUp == POLLHUP && kInvalid == POLLNVAL && kPeerClosed == POLLRDHUP);

bool Poll(std::vector<PollFd>& fds, int timeoutMs) {
    for (;;) {
        if (::poll(reinterpret_cast<pollfd*>(fds.data()), fds.size(), timeoutMs) >= 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

Waker::Waker() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Waker::~Waker() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void Waker::Wake() {
    const std::uint64_t one = 1;
    while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Waker::Drain() {
    std::uint64_t count = 0;
    while (::read(m_fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

}  // namespace net
