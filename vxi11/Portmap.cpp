#include "Portmap.h"

#include <array>

#include "Rpc.h"
#include "Xdr.h"

namespace vxi11 {

namespace {

bool DecodeMapping(std::string_view args, Mapping& out) {
    XdrReader reader(args);
    out.program = reader.U32();
    out.version = reader.U32();
    out.protocol = static_cast<IpProto>(reader.U32());
    out.port = reader.U32();
    return reader.Ok();
}

}  // namespace

std::optional<std::string> PortmapServer::Handle(std::string_view message, bool recordMark) const {
    static constexpr std::array<ProgramVersions, 1> kPrograms{
        ProgramVersions{kPortmapProgram, kPortmapVersion, kPortmapVersion}};
    RpcCall call;
    std::string reply;
    switch (ScreenCall(message, kPrograms, recordMark, call, reply)) {
        case CallVerdict::Drop:
            return std::nullopt;
        case CallVerdict::Reply:
            return reply;
        case CallVerdict::Dispatch:
            break;
    }
    switch (static_cast<PmapProc>(call.procedure)) {
        case PmapProc::Null:
            return AcceptedError(call.xid, AcceptStat::Success, recordMark);
        case PmapProc::GetPort: {
            Mapping asked;
            if (!DecodeMapping(call.args, asked)) {
                return AcceptedError(call.xid, AcceptStat::GarbageArgs, recordMark);
            }
            std::uint32_t port = 0;  // 0: not registered
            for (const Mapping& mapping : m_mappings) {
                if (mapping.program == asked.program && mapping.version == asked.version &&
                    mapping.protocol == asked.protocol) {
                    port = mapping.port;
                }
            }
            XdrWriter writer = BeginAccepted(call.xid, AcceptStat::Success, recordMark);
            writer.U32(port);
            return writer.Take();
        }
        case PmapProc::Dump: {
            XdrWriter writer = BeginAccepted(call.xid, AcceptStat::Success, recordMark);
            for (const Mapping& mapping : m_mappings) {
                writer.Bool(true);  // a list: each entry follows a "more" flag
                writer.U32(mapping.program);
                writer.U32(mapping.version);
                writer.U32(static_cast<std::uint32_t>(mapping.protocol));
                writer.U32(mapping.port);
            }
            writer.Bool(false);
            return writer.Take();
        }
        default:
            return AcceptedError(call.xid, AcceptStat::ProcUnavail, recordMark);
    }
}

std::string PmapCall(std::uint32_t xid, PmapProc proc, const Mapping& mapping, bool recordMark) {
    XdrWriter writer = BeginCall(xid, kPortmapProgram, kPortmapVersion,
                                 static_cast<std::uint32_t>(proc), recordMark);
    writer.U32(mapping.program);
    writer.U32(mapping.version);
    writer.U32(static_cast<std::uint32_t>(mapping.protocol));
    writer.U32(mapping.port);
    return writer.Take();
}

std::optional<bool> PmapBoolReply(std::string_view message, std::uint32_t xid) {
    std::string_view results;
    if (!ReadSuccessReply(message, xid, results)) {
        return std::nullopt;
    }
    XdrReader reader(results);
    const bool value = reader.Bool();
    if (!reader.Ok()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace vxi11
