#include "Vxi11Messages.h"

#include <cstdint>

namespace vxi11 {

namespace {

constexpr std::uint32_t kAnyLength = UINT32_MAX;
constexpr std::uint32_t kMaxSrqHandle = 40;

}  // namespace

bool Decode(std::string_view args, CreateLinkParms& out) {
    XdrReader reader(args);
    out.clientId = reader.I32();
    out.lockDevice = reader.Bool();
    out.lockTimeout = reader.U32();
    out.device = reader.String(kMaxDeviceName);
    return reader.Ok();
}

bool Decode(std::string_view args, WriteParms& out) {
    XdrReader reader(args);
    out.lid = reader.I32();
    out.ioTimeout = reader.U32();
    out.lockTimeout = reader.U32();
    out.flags = reader.I32();
    out.data = reader.Opaque(kAnyLength);
    return reader.Ok();
}

bool Decode(std::string_view args, ReadParms& out) {
    XdrReader reader(args);
    out.lid = reader.I32();
    out.requestSize = reader.U32();
    out.ioTimeout = reader.U32();
    out.lockTimeout = reader.U32();
    out.flags = reader.I32();
    out.termChar = static_cast<char>(reader.I32());
    return reader.Ok();
}

bool Decode(std::string_view args, GenericParms& out) {
    XdrReader reader(args);
    out.lid = reader.I32();
    out.flags = reader.I32();
    out.lockTimeout = reader.U32();
    out.ioTimeout = reader.U32();
    return reader.Ok();
}

bool Decode(std::string_view args, LockParms& out) {
    XdrReader reader(args);
    out.lid = reader.I32();
    out.flags = reader.I32();
    out.lockTimeout = reader.U32();
    return reader.Ok();
}

bool Decode(std::string_view args, LinkId& out) {
    XdrReader reader(args);
    out = reader.I32();
    return reader.Ok();
}

bool DecodeLinkOf(Proc proc, std::string_view args, LinkId& out) {
    XdrReader reader(args);
    out = 0;
    switch (proc) {
        case Proc::DeviceEnableSrq:
            out = reader.I32();
            reader.Bool();
            reader.Opaque(kMaxSrqHandle);
            break;
        case Proc::DeviceDocmd:
            out = reader.I32();
            for (int i = 0; i < 4; ++i) {  // flags, io_timeout, lock_timeout, cmd
                reader.U32();
            }
            reader.Bool();  // network_order
            reader.I32();   // datasize
            reader.Opaque(kAnyLength);
            break;
        case Proc::CreateIntrChan:
            for (int i = 0; i < 5; ++i) {  // host address and port, program, version, family
                reader.U32();
            }
            break;
        default:  // destroy_intr_chan: void
            break;
    }
    return reader.Ok();
}

namespace {

struct Encoder {
    XdrWriter& writer;
    void Error(ErrorCode error) { writer.I32(static_cast<std::int32_t>(error)); }
    void operator()(const ErrorResp& reply) { Error(reply.error); }
    void operator()(const CreateLinkResp& reply) {
        Error(reply.error);
        writer.I32(reply.lid);
        writer.U32(reply.abortPort);
        writer.U32(reply.maxRecvSize);
    }
    void operator()(const WriteResp& reply) {
        Error(reply.error);
        writer.U32(reply.size);
    }
    void operator()(const ReadResp& reply) {
        Error(reply.error);
        writer.I32(reply.reason);
        writer.Opaque(reply.data);
    }
    void operator()(const ReadStbResp& reply) {
        Error(reply.error);
        writer.U32(reply.stb);
    }
    void operator()(const DocmdResp& reply) {
        Error(reply.error);
        writer.Opaque({});
    }
};

}  // namespace

void Encode(const Reply& reply, XdrWriter& writer) {
    std::visit(Encoder{writer}, reply);
}

}  // namespace vxi11
