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

/// A non-blocking listening socket on `address`:`port` (port 0: any free one); one on the IPv6
/// any-address takes IPv4 as well. -1 with the reason in `error` when it cannot be made.
int Listen(const Address& address, int port, std::string& error);
/// The port a listening socket is bound to.
int BoundPort(int listener);
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
    int m_sender = -1;  // Windows: the loopback connection's sending end
};

}  // namespace net
