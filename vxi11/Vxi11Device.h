// The instrument side of VXI-11 without I/O: links, message assembly, reads in pieces, locks
// across links, timeouts and aborts. Calls come in decoded; replies go out through the host,
// at once or later (a read waiting for its answer, a call waiting for a lock), so one poll
// loop can serve every connection. Time is the host's: it passes `now` and asks for the next
// deadline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Vxi11Messages.h"

namespace vxi11 {

/// The host's monotonic time, in milliseconds.
using Millis = std::int64_t;
/// The host's name for one client connection.
using ConnectionId = std::uint64_t;

/// Where a reply goes: the connection a call came on, and the call's xid.
struct CallRef {
    ConnectionId connection = 0;
    std::uint32_t xid = 0;
};

/// One link's view of an instrument (for SCPI: one engine, with its own error queue).
class LinkInstrument {
public:
    virtual ~LinkInstrument() = default;
    /// One complete message, always ending in LF (a message the client ended with END gets
    /// one). Answers go back through Device::Answer, at once or later.
    virtual void Feed(std::string_view message) = 0;
    /// True while the instrument works on a message (an answer may still come); a read that
    /// finds no answer waits only while this is true.
    virtual bool Waiting() const = 0;
    /// The status byte, without MAV: the link adds it for answers it holds.
    virtual std::uint8_t StatusByte() const = 0;
    /// A device clear: drop unfinished input and answers not given yet (not the error queue).
    virtual void Clear() = 0;
};

/// What the device needs from its host.
class DeviceHost {
public:
    virtual ~DeviceHost() = default;
    /// The instrument a create_link device name selects ("inst0", "inst1", ...), or none.
    /// Links to the same instrument share its lock.
    virtual std::optional<int> FindInstrument(std::string_view device) = 0;
    /// A new link's view of `instrument`; nothing refuses the link (out of resources).
    virtual std::unique_ptr<LinkInstrument> OpenLink(int instrument, LinkId lid) = 0;
    /// The reply to `call`. It may come from inside any Device call, and may name a
    /// connection closed since (drop it then). It must not call back into the Device: a
    /// connection found broken is closed later, from the host's loop.
    virtual void Done(const CallRef& call, const Reply& reply) = 0;
};

/// The values create_link answers, and the limits.
struct DeviceConfig {
    std::uint16_t abortPort = 0;
    std::uint32_t maxRecvSize = 16384;  ///< at least 1,024
    std::size_t maxLinks = 64;
    std::size_t maxMessageBytes = 65536;  ///< a longer message is dropped (out of resources)
};

/// The link-keeping instrument core.
class Device {
public:
    Device(const DeviceConfig& config, DeviceHost& host);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    ~Device();

    void CreateLink(const CallRef& call, const CreateLinkParms& parms, Millis now);
    void Write(const CallRef& call, WriteParms parms, Millis now);
    void Read(const CallRef& call, const ReadParms& parms, Millis now);
    void ReadStb(const CallRef& call, const GenericParms& parms, Millis now);
    void Clear(const CallRef& call, const GenericParms& parms, Millis now);
    void Lock(const CallRef& call, const LockParms& parms, Millis now);
    void Unlock(const CallRef& call, LinkId lid);
    void DestroyLink(const CallRef& call, LinkId lid);
    /// The abort channel: ends the link's waiting read (and lock waits) with error 23.
    void Abort(const CallRef& call, LinkId lid);
    /// trigger, remote, local, enable_srq, docmd: error 4 for an unknown link, else 8.
    void Unsupported(const CallRef& call, LinkId lid, bool docmd);

    /// The link's instrument answered `message` (one message: a read ends with END on it).
    void Answer(LinkId lid, std::string_view message);
    /// The connection closed: its links end, their locks with them; nothing is answered.
    void CloseConnection(ConnectionId connection);
    /// Ends the waits whose deadline is at or before `now`.
    void Advance(Millis now);
    /// The earliest deadline of a waiting call, if any.
    std::optional<Millis> NextDeadline() const;

    std::size_t LinkCount() const { return m_links.size(); }
    /// The link holding `instrument`'s lock (0: none).
    LinkId LockHolder(int instrument) const;

private:
    /// A call that waits: for a lock, or (a read) for its answer.
    struct Waiter {
        enum class Kind { CreateLink, Write, Read, ReadStb, Clear, Lock };
        Kind kind = Kind::Lock;
        CallRef call;
        LinkId lid = 0;
        Millis deadline = 0;
        WriteParms write{};     // Write: the message piece
        ReadParms read{};       // Read
        Millis ioDeadline = 0;  // Read: when its answer must have come
    };
    struct Link {
        ConnectionId connection = 0;
        int instrument = 0;
        std::unique_ptr<LinkInstrument> view;
        std::string input;               // a message not ended yet
        bool discarding = false;         // the rest of an over-long message is dropped
        std::deque<std::string> output;  // answers; the front is handed out from outputAt
        std::size_t outputAt = 0;
        std::optional<Waiter> read;  // a read waiting for an answer
    };

    Link* Find(LinkId lid);
    bool Blocked(const Link& link, LinkId lid) const;
    /// Runs `waiter` now, or queues it for the lock, or refuses it with error 11.
    void Start(Waiter waiter, std::uint32_t lockTimeout, std::int32_t flags, Millis now);
    void Run(Waiter& waiter);
    void RunWrite(Link& link, const Waiter& waiter);
    void RunRead(Link& link, Waiter waiter);
    /// Fills a read from the link's answers; false when it has none.
    bool TakeAnswer(Link& link, const ReadParms& parms, ReadResp& resp);
    void Release(int instrument);
    void DropLink(LinkId lid, bool answerWaiters);
    void Refuse(const Waiter& waiter, ErrorCode error);

    DeviceConfig m_config;
    DeviceHost& m_host;
    std::map<LinkId, Link> m_links;
    std::map<int, LinkId> m_lockHolders;  // instrument → the link holding its lock
    std::vector<Waiter> m_lockWaiters;    // in arrival order
    LinkId m_nextLid = 1;
};

}  // namespace vxi11
