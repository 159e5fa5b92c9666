#include "ServeSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace net {

int Listen(const Address& address, int port, std::string& error) {
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
