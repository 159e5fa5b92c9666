#include "Vxi11Service.h"

#include <algorithm>
#include <array>

#include "Rpc.h"

namespace vxi11 {

namespace {

// Room for the RPC call header (with the largest credential and verifier) and the write's
// own fields around its data.
constexpr std::size_t kHeaderRoom = 1024;

constexpr std::array<ProgramVersions, 2> kPrograms{
    ProgramVersions{kCoreProgram, kVxi11Version, kVxi11Version},
    ProgramVersions{kAbortProgram, kVxi11Version, kVxi11Version}};

}  // namespace

Service::Service(const DeviceConfig& config, ServiceHost& host)
    : m_host(host), m_device(config, *this), m_maxRecord(config.maxRecvSize + kHeaderRoom) {
    m_maxRecord = std::max<std::size_t>(m_maxRecord, 1024 + kHeaderRoom);
}

void Service::Done(const CallRef& call, const Reply& reply) {
    XdrWriter writer = BeginAccepted(call.xid, AcceptStat::Success, true);
    Encode(reply, writer);
    m_host.Send(call.connection, writer.Take());
}

bool Service::Receive(ConnectionId connection, RecordReassembler& records, std::string_view chunk,
                      Millis now) {
    for (;;) {
        switch (records.Next(chunk)) {
            case RecordStatus::NeedMore:
                return true;
            case RecordStatus::TooLarge:
                return false;
            case RecordStatus::Record:
                HandleRecord(connection, records.Record(), now);
                break;
        }
    }
}

void Service::HandleRecord(ConnectionId connection, std::string_view record, Millis now) {
    RpcCall rpc;
    std::string refusal;
    switch (ScreenCall(record, kPrograms, true, rpc, refusal)) {
        case CallVerdict::Drop:
            return;
        case CallVerdict::Reply:
            m_host.Send(connection, std::move(refusal));
            return;
        case CallVerdict::Dispatch:
            break;
    }
    const CallRef call{connection, rpc.xid};
    const auto garbage = [&] {
        m_host.Send(connection, AcceptedError(rpc.xid, AcceptStat::GarbageArgs, true));
    };
    const auto proc = static_cast<Proc>(rpc.procedure);
    if (rpc.program == kAbortProgram) {
        LinkId lid = 0;
        if (proc != Proc::DeviceAbort) {
            m_host.Send(connection, AcceptedError(rpc.xid, AcceptStat::ProcUnavail, true));
        } else if (!Decode(rpc.args, lid)) {
            garbage();
        } else {
            m_device.Abort(call, lid);
        }
        return;
    }
    // Each procedure decodes its arguments, then runs; a decode failure is GARBAGE_ARGS.
    const auto run = [&](auto parms, auto&& action) {
        if (Decode(rpc.args, parms)) {
            action(parms);
        } else {
            garbage();
        }
    };
    switch (proc) {
        case Proc::CreateLink:
            run(CreateLinkParms{}, [&](auto& p) { m_device.CreateLink(call, p, now); });
            break;
        case Proc::DeviceWrite:
            run(WriteParms{}, [&](auto& p) { m_device.Write(call, std::move(p), now); });
            break;
        case Proc::DeviceRead:
            run(ReadParms{}, [&](auto& p) { m_device.Read(call, p, now); });
            break;
        case Proc::DeviceReadStb:
            run(GenericParms{}, [&](auto& p) { m_device.ReadStb(call, p, now); });
            break;
        case Proc::DeviceClear:
            run(GenericParms{}, [&](auto& p) { m_device.Clear(call, p, now); });
            break;
        case Proc::DeviceTrigger:
        case Proc::DeviceRemote:
        case Proc::DeviceLocal:
            run(GenericParms{}, [&](auto& p) { m_device.Unsupported(call, p.lid, false); });
            break;
        case Proc::DeviceLock:
            run(LockParms{}, [&](auto& p) { m_device.Lock(call, p, now); });
            break;
        case Proc::DeviceUnlock:
            run(LinkId{}, [&](auto& lid) { m_device.Unlock(call, lid); });
            break;
        case Proc::DestroyLink:
            run(LinkId{}, [&](auto& lid) { m_device.DestroyLink(call, lid); });
            break;
        case Proc::DeviceEnableSrq:
        case Proc::DeviceDocmd: {
            LinkId lid = 0;
            if (DecodeLinkOf(proc, rpc.args, lid)) {
                m_device.Unsupported(call, lid, proc == Proc::DeviceDocmd);
            } else {
                garbage();
            }
            break;
        }
        case Proc::CreateIntrChan:
        case Proc::DestroyIntrChan: {
            LinkId unused = 0;
            if (!DecodeLinkOf(proc, rpc.args, unused)) {
                garbage();
            } else {
                // No interrupt channel is made, so there is none to destroy either.
                Done(call,
                     ErrorResp{proc == Proc::CreateIntrChan ? ErrorCode::OperationNotSupported
                                                            : ErrorCode::ChannelNotEstablished});
            }
            break;
        }
        default:
            m_host.Send(connection, AcceptedError(rpc.xid, AcceptStat::ProcUnavail, true));
            break;
    }
}

}  // namespace vxi11
