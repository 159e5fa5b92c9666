// libFuzzer target: any bytes as the TCP streams of three VXI-11 clients (in pieces, with
// time passing, connections closing and a slow instrument answering late), and as portmapper
// datagrams. Nothing may crash, leak or hang; every reply is one well-formed record; links
// stay within the limit, and closing every connection leaves no link and no wait behind.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "Portmap.h"
#include "Rpc.h"
#include "Vxi11Service.h"

namespace {

constexpr std::size_t kMaxLinks = 4;

class Instrument : public vxi11::LinkInstrument {
public:
    Instrument(vxi11::Device& device, vxi11::LinkId lid) : m_device(device), m_lid(lid) {}
    void Feed(std::string_view message) override {
        if (message.empty() || message.back() != '\n') {
            std::abort();  // a message always ends in LF
        }
        m_waiting = message.size() % 3 == 0;
        if (!m_waiting) {
            m_device.Answer(m_lid, message);
        }
    }
    bool Waiting() const override { return m_waiting; }
    std::uint8_t StatusByte() const override { return 0; }
    void Clear() override { m_waiting = false; }

private:
    vxi11::Device& m_device;
    vxi11::LinkId m_lid;
    bool m_waiting = false;
};

class Host : public vxi11::ServiceHost {
public:
    std::optional<int> FindInstrument(std::string_view device) override {
        if (device.size() > 2) {
            return std::nullopt;
        }
        return static_cast<int>(device.size());
    }
    std::unique_ptr<vxi11::LinkInstrument> OpenLink(int, vxi11::LinkId lid) override {
        return std::make_unique<Instrument>(service->Core(), lid);
    }
    void Send(vxi11::ConnectionId, std::string record) override {
        const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(record[i]); };
        if (record.size() < 24 || (record.size() - 4) % 4 != 0 || byte(0) != 0x80 ||
            ((std::uint32_t{byte(1)} << 16 | std::uint32_t{byte(2)} << 8 | byte(3)) !=
             record.size() - 4)) {
            std::abort();
        }
    }
    vxi11::Service* service = nullptr;
};

constexpr std::uint32_t kProcs[] = {1, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 22, 23, 25, 26};

std::string Framed(std::uint8_t pick, std::string_view args) {
    const std::uint32_t proc = kProcs[pick % std::size(kProcs)];
    vxi11::XdrWriter writer = vxi11::BeginCall(
        pick, proc == 1 ? vxi11::kAbortProgram : vxi11::kCoreProgram, 1, proc, true);
    std::string record = writer.Take();
    record += args;
    const auto length = static_cast<std::uint32_t>(record.size() - 4);
    for (int i = 0; i < 4; ++i) {
        record[static_cast<std::size_t>(i)] =
            static_cast<char>((0x80000000u | length) >> (24 - 8 * i));
    }
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Host host;
    vxi11::Service service({111, 1024, kMaxLinks, 2048}, host);
    host.service = &service;
    const vxi11::PortmapServer portmap({{vxi11::kCoreProgram, 1, vxi11::IpProto::Tcp, 1024}});
    std::array<std::unique_ptr<vxi11::RecordReassembler>, 3> streams;
    vxi11::Millis now = 0;
    std::size_t at = 0;
    while (at < size) {
        // One control byte: which connection, how big the piece, and what happens around it.
        const std::uint8_t control = data[at++];
        const std::size_t id = control % streams.size();
        auto& stream = streams[id];
        if (!stream) {
            stream = std::make_unique<vxi11::RecordReassembler>(service.MaxRecordBytes());
        }
        // Control bit 3: the piece is the arguments of a well-formed call (the next byte picks
        // the procedure), so the fuzzer reaches the links without first finding a header.
        const bool framed = (control & 0x08) != 0 && at < size;
        const std::uint8_t pick = framed ? data[at++] : 0;
        const std::size_t piece = std::min<std::size_t>(size - at, 1u + (control >> 2) * 5u);
        std::string_view bytes(reinterpret_cast<const char*>(data + at), piece);
        at += piece;
        std::string call;
        if (framed) {
            call = Framed(pick, bytes);
            bytes = call;
        }
        if (!service.Receive(id, *stream, bytes, now) || (control & 0xC0) == 0xC0) {
            service.Core().CloseConnection(id);
            stream.reset();
        }
        if (stream && stream->Buffered() > service.MaxRecordBytes() + 4) {
            std::abort();
        }
        portmap.Handle(bytes, control % 2 == 0);
        if ((control & 0x30) == 0x30) {
            service.Core().Answer(static_cast<vxi11::LinkId>(control % 8), "late\n");
        }
        now += control % 64;
        service.Core().Advance(now);
        if (service.Core().LinkCount() > kMaxLinks) {
            std::abort();
        }
    }
    for (std::size_t id = 0; id < streams.size(); ++id) {
        service.Core().CloseConnection(id);
    }
    if (service.Core().LinkCount() != 0 || service.Core().NextDeadline()) {
        std::abort();
    }
    return 0;
}
