// ONC RPC version 2 (RFC 5531): screening a call's header, and the replies a server sends.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Xdr.h"

namespace vxi11 {

/// The message types and the one RPC version.
inline constexpr std::uint32_t kRpcCall = 0;
inline constexpr std::uint32_t kRpcReply = 1;
inline constexpr std::uint32_t kRpcVersion = 2;

/// Credential and verifier flavours.
enum class AuthFlavor : std::uint32_t {
    None = 0,  ///< AUTH_NONE
    Sys = 1,   ///< AUTH_SYS: stamp, machine name, uid, gid, groups
};

/// Why an accepted call was not run (accept_stat).
enum class AcceptStat : std::uint32_t {
    Success = 0,
    ProgUnavail = 1,   ///< no such program here
    ProgMismatch = 2,  ///< the program, but not that version (the reply gives low and high)
    ProcUnavail = 3,   ///< the program has no such procedure
    GarbageArgs = 4,   ///< the arguments do not decode
    SystemErr = 5,
};

/// Why an authentication failed (auth_stat).
enum class AuthStat : std::uint32_t {
    Ok = 0,
    BadCred = 1,       ///< the credential does not decode
    RejectedCred = 2,  ///< a flavour this server does not take
    BadVerf = 3,
    RejectedVerf = 4,  ///< a verifier flavour this server does not take
    TooWeak = 5,
};

/// Largest opaque_auth body (RFC 5531).
inline constexpr std::uint32_t kMaxAuthBytes = 400;

/// A program and the versions of it a server runs.
struct ProgramVersions {
    std::uint32_t program = 0;
    std::uint32_t low = 0;
    std::uint32_t high = 0;
};

/// A call that passed screening.
struct RpcCall {
    std::uint32_t xid = 0;
    std::uint32_t program = 0;
    std::uint32_t version = 0;
    std::uint32_t procedure = 0;
    std::string_view args;  ///< into the record
};

/// What to do with a received message.
enum class CallVerdict {
    Dispatch,  ///< run the call's procedure (check the procedure number there)
    Reply,     ///< send the error reply made
    Drop,      ///< not a call, or too short to name its xid: nothing can be answered
};

/// Screens one message (a record without its marks, or a datagram): RPC version, credential,
/// verifier, program and version. For Reply, `reply` holds the refusal, record-marked when
/// `recordMark`.
CallVerdict ScreenCall(std::string_view message, std::span<const ProgramVersions> programs,
                       bool recordMark, RpcCall& call, std::string& reply);

/// Starts an accepted reply with `stat` (Success: the results follow from the caller).
XdrWriter BeginAccepted(std::uint32_t xid, AcceptStat stat, bool recordMark);
/// A finished accepted reply without results (PROC_UNAVAIL, GARBAGE_ARGS, SYSTEM_ERR).
std::string AcceptedError(std::uint32_t xid, AcceptStat stat, bool recordMark);

/// Starts a call to `program` with an AUTH_NONE credential (the arguments follow).
XdrWriter BeginCall(std::uint32_t xid, std::uint32_t program, std::uint32_t version,
                    std::uint32_t procedure, bool recordMark);
/// Reads a reply's header; true when it answers `xid` with SUCCESS, `results` then holds
/// the rest.
bool ReadSuccessReply(std::string_view message, std::uint32_t xid, std::string_view& results);

}  // namespace vxi11
