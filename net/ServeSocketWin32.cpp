// The SCPI server's sockets on Winsock. Differences from BSD sockets that matter here: Winsock
// must be started once per process, a socket is closed with closesocket, SO_REUSEADDR would let
// another program take the port over (so it is not set), there is no eventfd (the waker is a
// loopback connection to ourselves), and WSAPoll has event values of its own.
#include "ServeSocket.h"

#include <mswsock.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "Win32Error.h"

namespace net {

namespace {

// Started on first use and left running until the process ends, as the system cleans up.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET Handle(int fd) {
    return static_cast<SOCKET>(fd);
}

bool SetNonBlocking(SOCKET socket) {
    u_long on = 1;
    return ::ioctlsocket(socket, FIONBIO, &on) == 0;
}

// A new TCP socket of `family` that child processes do not inherit; INVALID_SOCKET on failure.
SOCKET NewSocket(int family = AF_INET) {
    return ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

}  // namespace

namespace {

void NoteFailure(int code, BindFailure* failure) {
    if (failure != nullptr) {
        *failure = code == WSAEACCES       ? BindFailure::NoPrivilege
                   : code == WSAEADDRINUSE ? BindFailure::InUse
                                           : BindFailure::Other;
    }
}

}  // namespace

int Listen(const Address& address, int port, std::string& error, BindFailure* failure) {
    if (!StartWinsock()) {
        error = "Winsock does not start";
        return -1;
    }
    sockaddr_storage where{};
    const int length = ToSocketAddress(address, port, &where);
    const SOCKET socket = NewSocket(where.ss_family);
    if (socket == INVALID_SOCKET) {
        error = Win32ErrorText(static_cast<unsigned long>(::WSAGetLastError()));
        return -1;
    }
    // No other program may bind the same port while we listen (Windows allows that otherwise).
    const BOOL on = TRUE;
    ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on);
    if (where.ss_family == AF_INET6) {
        // [::] takes IPv4 clients too (Windows makes IPv6 sockets IPv6-only by default).
        const DWORD off = 0;
        ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                     sizeof off);
    }
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&where), length) != 0 ||
        ::listen(socket, SOMAXCONN) != 0 || !SetNonBlocking(socket)) {
        const int code = ::WSAGetLastError();
        error = Win32ErrorText(static_cast<unsigned long>(code));
        NoteFailure(code, failure);
        ::closesocket(socket);
        return -1;
    }
    return static_cast<int>(socket);
}

int BoundPort(int listener) {
    sockaddr_storage where{};
    int length = sizeof where;
    if (::getsockname(Handle(listener), reinterpret_cast<sockaddr*>(&where), &length) != 0) {
        return -1;
    }
    Address address;
    int port = -1;
    FromSocketAddress(&where, address, port);
    return port;
}

Address LocalAddress(int fd) {
    sockaddr_storage where{};
    int length = sizeof where;
    Address address;
    int port = -1;
    if (::getsockname(Handle(fd), reinterpret_cast<sockaddr*>(&where), &length) == 0) {
        FromSocketAddress(&where, address, port);
    }
    return address;
}

int Accept(int listener, Peer& peer) {
    for (;;) {
        sockaddr_storage from{};
        int length = sizeof from;
        const SOCKET socket =
            ::accept(Handle(listener), reinterpret_cast<sockaddr*>(&from), &length);
        if (socket == INVALID_SOCKET) {
            const int error = ::WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                return kNoneWaiting;
            }
            if (error == WSAECONNRESET || error == WSAEINTR) {
                continue;  // this connection failed while queued; the next may be fine
            }
            return kExhausted;  // WSAEMFILE, WSAENOBUFS, or what asking again would repeat
        }
        const BOOL on = TRUE;
        ::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                     sizeof on);
        ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
        if (!SetNonBlocking(socket)) {
            ::closesocket(socket);
            continue;
        }
        FromSocketAddress(&from, peer.address, peer.port);
        return static_cast<int>(socket);
    }
}

void Refuse(int fd) {
    const linger reset{1, 0};
    ::setsockopt(Handle(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
                 sizeof reset);
    ::closesocket(Handle(fd));
}

void Close(int fd) {
    ::closesocket(Handle(fd));
}

Io Receive(int fd, char* buffer, std::size_t size, std::size_t& count) {
    count = 0;
    const int got =
        ::recv(Handle(fd), buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (got > 0) {
        count = static_cast<std::size_t>(got);
        return Io::Done;
    }
    return got < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK ? Io::WouldBlock : Io::Closed;
}

Io Send(int fd, const char* data, std::size_t size, std::size_t& count) {
    count = 0;
    const int sent =
        ::send(Handle(fd), data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (sent >= 0) {
        count = static_cast<std::size_t>(sent);
        return Io::Done;
    }
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? Io::WouldBlock : Io::Closed;
}

void NoDelay(int fd) {
    const BOOL on = TRUE;
    ::setsockopt(Handle(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                 sizeof on);
}

int BindDatagram(const Address& address, int port, std::string& error, BindFailure* failure) {
    if (!StartWinsock()) {
        error = "Winsock does not start";
        return -1;
    }
    sockaddr_storage where{};
    const int length = ToSocketAddress(address, port, &where);
    const SOCKET socket = ::WSASocketW(where.ss_family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                       WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        error = Win32ErrorText(static_cast<unsigned long>(::WSAGetLastError()));
        return -1;
    }
    const BOOL on = TRUE;
    ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on);
    ::setsockopt(socket, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
    if (where.ss_family == AF_INET6) {
        const DWORD off = 0;
        ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                     sizeof off);
    }
    // An ICMP "port unreachable" for an earlier answer would otherwise fail the next receive.
    BOOL report = FALSE;
    DWORD unused = 0;
    ::WSAIoctl(socket, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &unused, nullptr,
               nullptr);
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&where), length) != 0 ||
        !SetNonBlocking(socket)) {
        const int code = ::WSAGetLastError();
        error = Win32ErrorText(static_cast<unsigned long>(code));
        NoteFailure(code, failure);
        ::closesocket(socket);
        return -1;
    }
    return static_cast<int>(socket);
}

Io ReceiveFrom(int fd, char* buffer, std::size_t size, std::size_t& count, Peer& peer) {
    count = 0;
    sockaddr_storage from{};
    int length = sizeof from;
    const int got =
        ::recvfrom(Handle(fd), buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0,
                   reinterpret_cast<sockaddr*>(&from), &length);
    const int code = got < 0 ? ::WSAGetLastError() : 0;
    if (got >= 0 || code == WSAEMSGSIZE) {
        count = got >= 0 ? static_cast<std::size_t>(got) : size;
        FromSocketAddress(&from, peer.address, peer.port);
        return Io::Done;
    }
    return code == WSAEWOULDBLOCK || code == WSAECONNRESET ? Io::WouldBlock : Io::Closed;
}

void SendTo(int fd, const char* data, std::size_t size, const Peer& peer) {
    sockaddr_storage where{};
    sockaddr_storage own{};
    int ownLength = sizeof own;
    ::getsockname(Handle(fd), reinterpret_cast<sockaddr*>(&own), &ownLength);
    int length = ToSocketAddress(peer.address, peer.port, &where);
    if (own.ss_family == AF_INET6 && where.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(where);
        sockaddr_in6 mapped{};
        mapped.sin6_family = AF_INET6;
        mapped.sin6_port = v4.sin_port;
        mapped.sin6_addr.s6_addr[10] = mapped.sin6_addr.s6_addr[11] = 0xFF;
        std::memcpy(&mapped.sin6_addr.s6_addr[12], &v4.sin_addr, 4);
        std::memcpy(&where, &mapped, sizeof mapped);
        length = sizeof mapped;
    }
    ::sendto(Handle(fd), data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0,
             reinterpret_cast<const sockaddr*>(&where), length);
}

namespace {

// A blocking socket of `type` connected to `address`:`port` within `timeoutMs`.
SOCKET ConnectTo(int type, const Address& address, int port, int timeoutMs) {
    if (!StartWinsock()) {
        return INVALID_SOCKET;
    }
    sockaddr_storage where{};
    const int length = ToSocketAddress(address, port, &where);
    const SOCKET socket =
        ::WSASocketW(where.ss_family, type, type == SOCK_DGRAM ? IPPROTO_UDP : IPPROTO_TCP, nullptr,
                     0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        return socket;
    }
    if (!SetNonBlocking(socket)) {
        ::closesocket(socket);
        return INVALID_SOCKET;
    }
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&where), length) != 0) {
        WSAPOLLFD p{socket, POLLWRNORM, 0};
        if (::WSAGetLastError() != WSAEWOULDBLOCK || ::WSAPoll(&p, 1, timeoutMs) != 1 ||
            (p.revents & (POLLERR | POLLHUP)) != 0) {
            ::closesocket(socket);
            return INVALID_SOCKET;
        }
    }
    return socket;
}

}  // namespace

bool AskDatagram(const Address& address, int port, const std::string& request, int timeoutMs,
                 std::string& answer) {
    const SOCKET socket = ConnectTo(SOCK_DGRAM, address, port, timeoutMs);
    if (socket == INVALID_SOCKET) {
        return false;
    }
    bool got = false;
    if (::send(socket, request.data(), static_cast<int>(request.size()), 0) ==
        static_cast<int>(request.size())) {
        WSAPOLLFD p{socket, POLLRDNORM, 0};
        char buffer[2048];
        const int size =
            ::WSAPoll(&p, 1, timeoutMs) == 1 ? ::recv(socket, buffer, sizeof buffer, 0) : -1;
        if (size > 0) {
            answer.assign(buffer, static_cast<std::size_t>(size));
            got = true;
        }
    }
    ::closesocket(socket);
    return got;
}

bool Reachable(const Address& address, int port, int timeoutMs) {
    const SOCKET socket = ConnectTo(SOCK_STREAM, address, port, timeoutMs);
    if (socket == INVALID_SOCKET) {
        return false;
    }
    ::closesocket(socket);
    return true;
}

bool Poll(std::vector<PollFd>& fds, int timeoutMs) {
    // WSAPoll takes sockets only: negative entries (no stop descriptor on Windows) are left
    // out, as poll() ignores them.
    std::vector<WSAPOLLFD> polled;
    std::vector<std::size_t> index;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        fds[i].revents = 0;
        if (fds[i].fd < 0) {
            continue;
        }
        SHORT events = 0;
        events |= (fds[i].events & kReadable) != 0 ? POLLRDNORM : 0;
        events |= (fds[i].events & kWritable) != 0 ? POLLWRNORM : 0;
        polled.push_back({Handle(fds[i].fd), events, 0});
        index.push_back(i);
    }
    if (polled.empty()) {
        ::Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return true;
    }
    if (::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeoutMs) == SOCKET_ERROR) {
        return false;
    }
    for (std::size_t k = 0; k < polled.size(); ++k) {
        const SHORT got = polled[k].revents;
        short& revents = fds[index[k]].revents;
        revents |= (got & (POLLRDNORM | POLLRDBAND)) != 0 ? kReadable : 0;
        revents |= (got & POLLWRNORM) != 0 ? kWritable : 0;
        revents |= (got & POLLERR) != 0 ? kError : 0;
        revents |= (got & POLLHUP) != 0 ? kHangUp : 0;
        revents |= (got & POLLNVAL) != 0 ? kInvalid : 0;
    }
    return true;
}

// The loop's end is a non-blocking socket connected to one we send a byte to. A Wake that
// finds the connection full needs no byte more: the loop is due to wake anyway.
Waker::Waker() {
    if (!StartWinsock()) {
        return;
    }
    std::string error;
    const int listener = Listen(Address::V4(0x7F000001), 0, error);
    if (listener < 0) {
        return;
    }
    const SOCKET sender = NewSocket();
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(0x7F000001);
    where.sin_port = htons(static_cast<std::uint16_t>(BoundPort(listener)));
    if (sender != INVALID_SOCKET &&
        ::connect(sender, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0) {
        // The listener is non-blocking: the connection is queued by the time connect returns.
        // Only our own connection is taken, not one another program slipped in first.
        sockaddr_in own{};
        int length = sizeof own;
        Peer peer;
        m_fd = std::max(Accept(listener, peer), -1);
        if (m_fd >= 0 && (::getsockname(sender, reinterpret_cast<sockaddr*>(&own), &length) != 0 ||
                          ntohs(own.sin_port) != peer.port)) {
            Close(m_fd);
            m_fd = -1;
        }
    }
    Close(listener);
    if (m_fd < 0 || !SetNonBlocking(sender)) {
        if (sender != INVALID_SOCKET) {
            ::closesocket(sender);
        }
        return;
    }
    m_sender = static_cast<int>(sender);
}

Waker::~Waker() {
    if (m_sender >= 0) {
        Close(m_sender);
    }
    if (m_fd >= 0) {
        Close(m_fd);
    }
}

void Waker::Wake() {
    const char one = 1;
    ::send(Handle(m_sender), &one, 1, 0);
}

void Waker::Drain() {
    char bytes[256];
    while (::recv(Handle(m_fd), bytes, sizeof bytes, 0) > 0) {
    }
}

}  // namespace net
