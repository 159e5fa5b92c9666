#include "Rpc.h"

#include <algorithm>

namespace vxi11 {

namespace {

constexpr std::uint32_t kMsgAccepted = 0;
constexpr std::uint32_t kMsgDenied = 1;
constexpr std::uint32_t kRpcMismatch = 0;
constexpr std::uint32_t kAuthError = 1;
constexpr std::uint32_t kMaxMachineName = 255;
constexpr std::uint32_t kMaxGroups = 16;

// An AUTH_SYS body must decode whole: it names who calls, and a server logs it.
bool SysCredentialOk(std::string_view body) {
    XdrReader reader(body);
    reader.U32();  // stamp
    reader.String(kMaxMachineName);
    reader.U32();  // uid
    reader.U32();  // gid
    const std::uint32_t groups = reader.U32();
    if (groups > kMaxGroups) {
        return false;
    }
    for (std::uint32_t i = 0; i < groups; ++i) {
        reader.U32();
    }
    return reader.Ok() && reader.Remaining() == 0;
}

std::string Denied(std::uint32_t xid, std::uint32_t why, std::uint32_t detail, bool recordMark) {
    XdrWriter writer(recordMark);
    writer.U32(xid);
    writer.U32(kRpcReply);
    writer.U32(kMsgDenied);
    writer.U32(why);
    writer.U32(detail);
    if (why == kRpcMismatch) {
        writer.U32(kRpcVersion);  // low and high: only version 2
    }
    return writer.Take();
}

}  // namespace

CallVerdict ScreenCall(std::string_view message, std::span<const ProgramVersions> programs,
                       bool recordMark, RpcCall& call, std::string& reply) {
    XdrReader reader(message);
    call.xid = reader.U32();
    if (reader.U32() != kRpcCall || !reader.Ok()) {
        return CallVerdict::Drop;
    }
    const std::uint32_t rpcVersion = reader.U32();
    call.program = reader.U32();
    call.version = reader.U32();
    call.procedure = reader.U32();
    const std::uint32_t credFlavor = reader.U32();
    const std::string_view cred = reader.Opaque(kMaxAuthBytes);
    const std::uint32_t verfFlavor = reader.U32();
    reader.Opaque(kMaxAuthBytes);
    if (!reader.Ok()) {
        // The xid is known: a header that does not decode is a credential that does not.
        reply = rpcVersion == kRpcVersion
                    ? Denied(call.xid, kAuthError, static_cast<std::uint32_t>(AuthStat::BadCred),
                             recordMark)
                    : Denied(call.xid, kRpcMismatch, kRpcVersion, recordMark);
        return CallVerdict::Reply;
    }
    if (rpcVersion != kRpcVersion) {
        reply = Denied(call.xid, kRpcMismatch, kRpcVersion, recordMark);
        return CallVerdict::Reply;
    }
    AuthStat auth = AuthStat::Ok;
    if (credFlavor == static_cast<std::uint32_t>(AuthFlavor::Sys)) {
        auth = SysCredentialOk(cred) ? AuthStat::Ok : AuthStat::BadCred;
    } else if (credFlavor != static_cast<std::uint32_t>(AuthFlavor::None)) {
        auth = AuthStat::RejectedCred;
    } else if (!cred.empty()) {
        auth = AuthStat::BadCred;
    }
    if (auth == AuthStat::Ok && verfFlavor != static_cast<std::uint32_t>(AuthFlavor::None)) {
        auth = AuthStat::RejectedVerf;
    }
    if (auth != AuthStat::Ok) {
        reply = Denied(call.xid, kAuthError, static_cast<std::uint32_t>(auth), recordMark);
        return CallVerdict::Reply;
    }
    call.args = reader.Rest();
    std::uint32_t low = UINT32_MAX;
    std::uint32_t high = 0;
    for (const ProgramVersions& program : programs) {
        if (program.program != call.program) {
            continue;
        }
        if (call.version >= program.low && call.version <= program.high) {
            return CallVerdict::Dispatch;
        }
        low = std::min(low, program.low);
        high = std::max(high, program.high);
    }
    if (high == 0) {
        reply = AcceptedError(call.xid, AcceptStat::ProgUnavail, recordMark);
        return CallVerdict::Reply;
    }
    XdrWriter writer = BeginAccepted(call.xid, AcceptStat::ProgMismatch, recordMark);
    writer.U32(low);
    writer.U32(high);
    reply = writer.Take();
    return CallVerdict::Reply;
}

XdrWriter BeginAccepted(std::uint32_t xid, AcceptStat stat, bool recordMark) {
    XdrWriter writer(recordMark);
    writer.U32(xid);
    writer.U32(kRpcReply);
    writer.U32(kMsgAccepted);
    writer.U32(static_cast<std::uint32_t>(AuthFlavor::None));  // verifier: AUTH_NONE, empty
    writer.U32(0);
    writer.U32(static_cast<std::uint32_t>(stat));
    return writer;
}

std::string AcceptedError(std::uint32_t xid, AcceptStat stat, bool recordMark) {
    return BeginAccepted(xid, stat, recordMark).Take();
}

XdrWriter BeginCall(std::uint32_t xid, std::uint32_t program, std::uint32_t version,
                    std::uint32_t procedure, bool recordMark) {
    XdrWriter writer(recordMark);
    writer.U32(xid);
    writer.U32(kRpcCall);
    writer.U32(kRpcVersion);
    writer.U32(program);
    writer.U32(version);
    writer.U32(procedure);
    for (int i = 0; i < 2; ++i) {  // credential and verifier: AUTH_NONE
        writer.U32(static_cast<std::uint32_t>(AuthFlavor::None));
        writer.U32(0);
    }
    return writer;
}

bool ReadSuccessReply(std::string_view message, std::uint32_t xid, std::string_view& results) {
    XdrReader reader(message);
    const bool header =
        reader.U32() == xid && reader.U32() == kRpcReply && reader.U32() == kMsgAccepted;
    reader.U32();  // verifier
    reader.Opaque(kMaxAuthBytes);
    if (!header || reader.U32() != static_cast<std::uint32_t>(AcceptStat::Success) ||
        !reader.Ok()) {
        return false;
    }
    results = reader.Rest();
    return true;
}

}  // namespace vxi11
