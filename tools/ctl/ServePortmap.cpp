#include "ServePortmap.h"

#include <cstdio>
#include <optional>

#include "RecordMarking.h"
#include "Rpc.h"
#include "ServeOptions.h"
#include "Vxi11Messages.h"
#include "Xdr.h"

namespace {

constexpr int kAskMs = 500;  // a portmapper on this host answers at once, or not at all
constexpr std::size_t kMaxConnections = 16;
constexpr std::size_t kMaxRecord = 2048;  // a portmapper call is small
const net::Address kLoopback = net::Address::V4(0x7F000001);

// One call to the portmapper on this host over UDP; its results, if it answered.
std::optional<std::string> AskPortmapper(vxi11::PmapProc proc, const vxi11::Mapping& mapping) {
    static std::uint32_t xid = 0x56524E00;
    ++xid;
    std::string answer;
    std::string_view results;
    if (!net::AskDatagram(kLoopback, vxi11::kPortmapPort,
                          vxi11::PmapCall(xid, proc, mapping, false), kAskMs, answer) ||
        !vxi11::ReadSuccessReply(answer, xid, results)) {
        return std::nullopt;
    }
    return std::string(results);
}

}  // namespace

// One TCP client of the portmapper: each call record it completes is answered.
class PortmapDoor::Connection final : public net::ClientHandler {
public:
    Connection(PortmapDoor& door, net::ClientId id) : m_door(door), m_id(id) {
        ++m_door.m_connections;
    }
    ~Connection() override { --m_door.m_connections; }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Received(std::string_view chunk) override {
        for (;;) {
            const vxi11::RecordStatus status = m_records.Next(chunk);
            if (status == vxi11::RecordStatus::TooLarge) {
                m_door.m_pump->Drop(m_id);
            }
            if (status != vxi11::RecordStatus::Record) {
                return;
            }
            if (const std::optional<std::string> reply =
                    m_door.m_server->Handle(m_records.Record(), true)) {
                m_door.m_pump->Write(m_id, *reply);
            }
        }
    }
    bool Reading() const override { return true; }

private:
    PortmapDoor& m_door;
    net::ClientId m_id;
    vxi11::RecordReassembler m_records{kMaxRecord};
};

PortmapDoor::PortmapDoor(const net::Address& address, int corePort,
                         std::vector<net::AddressRange> allow)
    : m_allow(std::move(allow)),
      m_mapping{vxi11::kCoreProgram, vxi11::kVxi11Version, vxi11::IpProto::Tcp,
                static_cast<std::uint32_t>(corePort)} {
    const std::optional<std::string> port = AskPortmapper(
        vxi11::PmapProc::GetPort, {m_mapping.program, m_mapping.version, vxi11::IpProto::Tcp, 0});
    if (!port) {
        Serve(address, corePort);
        return;
    }
    vxi11::XdrReader reader(*port);
    const std::uint32_t registered = reader.U32();
    if (reader.Ok() && registered != 0 &&
        net::Reachable(kLoopback, static_cast<int>(registered), kAskMs)) {
        m_outcome = Outcome::HeldByOther;
        std::fprintf(stderr,
                     "varnel-ctl: VXI-11 is held by the server on port %u of this host (one "
                     "VXI-11 instrument per host): this one serves its raw socket only\n",
                     static_cast<unsigned>(registered));
        return;
    }
    if (!Register()) {
        std::fprintf(stderr,
                     "varnel-ctl: the portmapper on port 111 does not take the VXI-11 "
                     "registration: VXI-11 clients will not find this server\n");
    }
}

bool PortmapDoor::Register() {
    // A registration left by a server that ended without withdrawing it is ours to replace.
    AskPortmapper(vxi11::PmapProc::Unset, m_mapping);
    const std::string done = AskPortmapper(vxi11::PmapProc::Set, m_mapping).value_or("");
    vxi11::XdrReader reader(done);
    if (!reader.Bool() || !reader.Ok()) {
        return false;
    }
    m_outcome = Outcome::Registered;
    return true;
}

void PortmapDoor::Serve(const net::Address& address, int corePort) {
    // Discovery broadcasts reach only a socket on the any-address: one listening on every
    // address takes them; one on a single address answers calls to that address alone.
    std::string error;
    net::BindFailure failure = net::BindFailure::Other;
    m_tcp = net::Listen(address, vxi11::kPortmapPort, error, &failure);
    if (m_tcp >= 0) {
        m_udp = net::BindDatagram(address, vxi11::kPortmapPort, error, &failure);
    }
    if (m_tcp < 0 || m_udp < 0) {
        if (m_tcp >= 0) {
            net::Close(m_tcp);
            m_tcp = -1;
        }
        if (failure == net::BindFailure::NoPrivilege) {
            std::fprintf(stderr,
                         "varnel-ctl: VXI-11 clients cannot find this server: port 111 (the "
                         "portmapper) needs privilege. Install rpcbind (the server registers "
                         "with it), or run the packaged service, which grants "
                         "CAP_NET_BIND_SERVICE; the raw socket serves on\n");
        } else {
            std::fprintf(stderr,
                         "varnel-ctl: VXI-11 clients cannot find this server: port 111 (the "
                         "portmapper): %s, and no portmapper answers there; the raw socket "
                         "serves on\n",
                         error.c_str());
        }
        return;
    }
    m_server = std::make_unique<vxi11::PortmapServer>(
        std::vector<vxi11::Mapping>{{vxi11::kCoreProgram, vxi11::kVxi11Version, vxi11::IpProto::Tcp,
                                     static_cast<std::uint32_t>(corePort)}});
    m_outcome = Outcome::Serving;
}

PortmapDoor::~PortmapDoor() {
    if (m_outcome == Outcome::Registered) {
        AskPortmapper(vxi11::PmapProc::Unset, m_mapping);
    }
    for (const int fd : {m_tcp, m_udp}) {
        if (fd >= 0) {
            net::Close(fd);
        }
    }
}

void PortmapDoor::Attach(net::ConnectionPump& pump) {
    if (m_server == nullptr) {
        return;
    }
    m_pump = &pump;
    pump.AddDoor(m_tcp, *this);
    pump.Watch(m_udp, net::kReadable, [this](short) { AnswerDatagrams(); });
}

bool PortmapDoor::Admits(int fd, const net::Peer& peer) {
    if (!net::Admits(m_allow, peer.address) || m_connections >= kMaxConnections) {
        return false;
    }
    net::NoDelay(fd);
    return true;
}

std::unique_ptr<net::ClientHandler> PortmapDoor::Open(net::ClientId id, const net::Peer& /*peer*/) {
    return std::make_unique<Connection>(*this, id);
}

void PortmapDoor::AnswerDatagrams() {
    for (int i = 0; i < 64; ++i) {  // a flood yields to the other clients now and then
        char buffer[1024];
        std::size_t count = 0;
        net::Peer peer;
        if (net::ReceiveFrom(m_udp, buffer, sizeof buffer, count, peer) != net::Io::Done) {
            return;
        }
        if (!net::Admits(m_allow, peer.address)) {
            continue;  // not even a refusal
        }
        if (const std::optional<std::string> reply =
                m_server->Handle(std::string_view(buffer, count), false)) {
            net::SendTo(m_udp, reply->data(), reply->size(), peer);
        }
    }
}

// Listens for the core channel, then finds or becomes the portmapper that tells clients where.
int OpenVxi11(const ServeOptions& options, std::unique_ptr<PortmapDoor>& portmap) {
    std::string error;
    const int listener = net::Listen(options.listenAddress, options.vxi11Port, error);
    if (listener < 0) {
        std::fprintf(stderr, "varnel-ctl: no VXI-11 instrument: cannot listen on %s: %s\n",
                     net::EndpointText(options.listenAddress, options.vxi11Port).c_str(),
                     error.c_str());
        return -1;
    }
    const int port = net::BoundPort(listener);
    portmap = std::make_unique<PortmapDoor>(options.listenAddress, port, options.allow);
    if (portmap->Result() == PortmapDoor::Outcome::HeldByOther) {
        portmap.reset();
        net::Close(listener);
        return -1;
    }
    std::printf("varnel-ctl: VXI-11 instrument inst0 (TCPIP::host::INSTR), core channel on %s\n",
                net::EndpointText(options.listenAddress, port).c_str());
    std::fflush(stdout);
    return listener;
}
