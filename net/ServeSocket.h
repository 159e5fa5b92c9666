// Every socket call of the servers, in one place: listening (IPv4 or IPv6), accepting, refusing
// with a reset, non-blocking reads and writes, poll, and the waker the module worker rouses the
// loop with. BSD sockets in ServeSocketPosix.cpp, Winsock in ServeSocketWin32.cpp; a socket
// is an int on both (Winsock's handles are small numbers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "NetAddress.h"

namespace net {

/// The far end of a connection; an IPv4 client of a dual-stack socket by its IPv4 address.
struct Peer {
    Address address;
    int port = 0;
};

/// Why a port could not be bound, where the caller acts on it.
enum class BindFailure { Other, NoPrivilege, InUse };

/// A non-blocking listening socket on `address`:`port` (port 0: any free one); one on the IPv6
/// any-address takes IPv4 as well. -1 with the reason in `error` (and its kind in `failure`)
/// when it cannot be made.
int Listen(const Address& address, int port, std::string& error, BindFailure* failure = nullptr);
/// The port a listening socket is bound to.
int BoundPort(int listener);
/// The address of ours a connection reached (an IPv4 client of a dual-stack socket: IPv4).
Address LocalAddress(int fd);
/// Accept's result when no connection came.
inline constexpr int kNoneWaiting = -1;
/// Accept's result when the process or the system is out of descriptors (or buffers): the
/// connection stays queued and the listener readable, so asking again at once would spin.
inline constexpr int kExhausted = -2;
/// The next waiting connection, non-blocking, with keep-alive on; else kNoneWaiting or
/// kExhausted.
int Accept(int listener, Peer& peer);
/// Closes a connection with a reset and without sending a byte: the client fails at once
/// instead of waiting for its timeout.
void Refuse(int fd);
/// Closes a connection normally.
void Close(int fd);

/// What a read or a write did.
enum class Io { Done, WouldBlock, Closed };
/// Reads what is there into `buffer` (up to `size`); `count` gets the bytes read.
Io Receive(int fd, char* buffer, std::size_t size, std::size_t& count);
/// Writes as much of `data` as the socket takes now; `count` gets the bytes written.
Io Send(int fd, const char* data, std::size_t size, std::size_t& count);

/// Turns off the delay of small writes (Nagle) on a connection whose every reply is one write.
void NoDelay(int fd);

/// A non-blocking UDP socket bound to `address`:`port`, taking broadcasts; -1 as Listen.
int BindDatagram(const Address& address, int port, std::string& error,
                 BindFailure* failure = nullptr);
/// One waiting datagram (truncated to `size`) and who sent it.
Io ReceiveFrom(int fd, char* buffer, std::size_t size, std::size_t& count, Peer& peer);
/// Sends one datagram to `peer`; a failure is dropped, as any datagram may be.
void SendTo(int fd, const char* data, std::size_t size, const Peer& peer);
/// Sends `request` in one datagram to `address`:`port` and waits up to `timeoutMs` for one
/// answer (blocking); nothing when none came or the port is closed.
bool AskDatagram(const Address& address, int port, const std::string& request, int timeoutMs,
                 std::string& answer);
/// True when a TCP connection to `address`:`port` is taken (waits up to `timeoutMs`).
bool Reachable(const Address& address, int port, int timeoutMs);

/// One entry of Poll, as poll()'s pollfd: a socket (on POSIX, any descriptor; negative:
/// ignored), the events asked for, the events that came.
struct PollFd {
    int fd;
    short events;
    short revents;
};
/// Poll's events.
inline constexpr short kReadable = 0x01;  ///< data, a connection to accept, or the end
inline constexpr short kWritable = 0x04;  ///< room to send
inline constexpr short kError = 0x08;     ///< the connection failed (reported unasked)
inline constexpr short kHangUp = 0x10;    ///< the peer closed (reported unasked)
inline constexpr short kInvalid = 0x20;   ///< not an open socket (reported unasked)
/// The peer will send no more (its FIN), asked of a connection that is not being read. Where
/// the system has no such event (Windows), kHangUp reports the peer's close.
inline constexpr short kPeerClosed = 0x2000;

/// poll() that retries on EINTR; false on another failure.
bool Poll(std::vector<PollFd>& fds, int timeoutMs);

/// A descriptor another thread makes readable to wake the loop's poll: an eventfd on POSIX,
/// the receiving end of a loopback connection on Windows.
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    int Fd() const { return m_fd; }
    void Wake();
    void Drain();

private:
    int m_fd = -1;
    [[maybe_unused]] int m_sender = -1;  // Windows: the loopback connection's sending end
};

}  // namespace net
