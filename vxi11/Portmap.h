// The portmapper, version 2 (RFC 1833): a server that answers NULL, GETPORT and DUMP for the
// programs this process runs (where no rpcbind runs), and the SET/UNSET calls that register
// them with a running one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vxi11 {

inline constexpr std::uint32_t kPortmapProgram = 100000;
inline constexpr std::uint32_t kPortmapVersion = 2;
inline constexpr std::uint16_t kPortmapPort = 111;

/// Portmapper procedures.
enum class PmapProc : std::uint32_t {
    Null = 0,
    Set = 1,
    Unset = 2,
    GetPort = 3,
    Dump = 4,
};

/// The transport a mapping is for.
enum class IpProto : std::uint32_t { Tcp = 6, Udp = 17 };

/// One registration: `program` version `version` over `protocol` is on `port`.
struct Mapping {
    std::uint32_t program = 0;
    std::uint32_t version = 0;
    IpProto protocol = IpProto::Tcp;
    std::uint32_t port = 0;
};

/// Answers portmapper calls from its own table; SET and UNSET from the network are not
/// taken (PROC_UNAVAIL): the table is this process's own.
class PortmapServer {
public:
    explicit PortmapServer(std::vector<Mapping> mappings) : m_mappings(std::move(mappings)) {}

    /// The reply to one call: `message` is a record's content (TCP, `recordMark` true, the
    /// reply then carries its mark) or a datagram (UDP). Nothing when it cannot be answered.
    std::optional<std::string> Handle(std::string_view message, bool recordMark) const;

private:
    std::vector<Mapping> m_mappings;
};

/// A SET or UNSET call for `mapping` (UNSET ignores protocol and port), to a running
/// portmapper.
std::string PmapCall(std::uint32_t xid, PmapProc proc, const Mapping& mapping, bool recordMark);
/// The bool a SET/UNSET reply carries; nothing when `message` is not that reply.
std::optional<bool> PmapBoolReply(std::string_view message, std::uint32_t xid);

}  // namespace vxi11
