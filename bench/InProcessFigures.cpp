// bench_ctl's figures without a process or a socket: the SCPI engine and the VXI-11 codec alone.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "CtlBench.h"
#include "ModuleQuantity.h"
#include "Monotonic.h"
#include "RecordMarking.h"
#include "Rpc.h"
#include "ScpiEngine.h"
#include "Vxi11Service.h"

namespace {

constexpr double kEngineLinesLimit = 1e6;  // lines a second, at least
constexpr double kCodecCallsLimit = 1e6;   // VXI-11 calls a second, at least

// The engine alone: lines of every kind against a module that answers at once.
class InstantHost final : public scpi::EngineHost {
public:
    void Answer(std::string_view message) override { bytes += message.size(); }
    void Request(const ModuleRequest& request) override {
        engine->Complete({ExchangeStatus::Ok, request.isSet ? request.value : kChannelMin, 1, {}});
    }
    void Setting(std::string_view) override {}
    scpi::Engine* engine = nullptr;
    std::size_t bytes = 0;
};

}  // namespace

void EngineFigure(int lines) {
    const std::string mix =
        "*IDN?\nSOUR:CHAN 12\nCHAN?\nFREQ 193.9THZ\nPOW 9.5;:OUTP ON\nWAV?\n*OPC?\n"
        "SYST:ERR?\n";
    const int perMix = 8;
    std::string input;
    for (int i = 0; i < 64; ++i) {
        input += mix;
    }
    InstantHost host;
    scpi::Engine engine({"Varnel,Bench,0,0", false}, host);
    host.engine = &engine;
    const int rounds = std::max(1, lines / (64 * perMix));
    const double start = MonotonicMs();
    for (int i = 0; i < rounds; ++i) {
        engine.Feed(input);
    }
    const double seconds = (MonotonicMs() - start) / 1000.0;
    const double rate = rounds * 64.0 * perMix / seconds;
    char note[200];
    std::snprintf(note, sizeof note, "%d lines of 8 kinds (settings, queries, chains) in %.1f ms",
                  rounds * 64 * perMix, seconds * 1000.0);
    Figure("scpi engine lines per second", rate / 1e6, kEngineLinesLimit / 1e6, 1.0, note, "M",
           true);
}

namespace {

// The VXI-11 codec alone: the calls a VISA client makes for a query (write with END, read,
// status byte) as one TCP stream, decoded, run on a link that answers at once, and answered.
class AnsweringLink final : public vxi11::LinkInstrument {
public:
    AnsweringLink(vxi11::Device& device, vxi11::LinkId lid) : m_device(device), m_lid(lid) {}
    void Feed(std::string_view) override { m_device.Answer(m_lid, "Varnel,Bench,0,0\n"); }
    bool Waiting() const override { return false; }
    std::uint8_t StatusByte() const override { return 0; }
    void Clear() override {}

private:
    vxi11::Device& m_device;
    vxi11::LinkId m_lid;
};

class CodecHost final : public vxi11::ServiceHost {
public:
    CodecHost() : service({}, *this) {}
    std::optional<int> FindInstrument(std::string_view) override { return 0; }
    std::unique_ptr<vxi11::LinkInstrument> OpenLink(int, vxi11::LinkId lid) override {
        return std::make_unique<AnsweringLink>(service.Core(), lid);
    }
    void Send(vxi11::ConnectionId, std::string) override { ++replies; }
    vxi11::Service service;
    std::size_t replies = 0;
};

}  // namespace

std::string CodecCall(std::uint32_t proc, const std::vector<std::uint32_t>& words,
                      std::string_view data) {
    vxi11::XdrWriter call = vxi11::BeginCall(proc, vxi11::kCoreProgram, 1, proc, true);
    for (const std::uint32_t word : words) {
        call.U32(word);
    }
    if (proc == 11) {
        call.Opaque(data);
    }
    return call.Take();
}

void CodecFigure(int calls) {
    CodecHost link;
    vxi11::RecordReassembler records(link.service.MaxRecordBytes());
    link.service.Receive(1, records, CodecCall(10, {0, 0, 0, 5, 0x696e7374, 0x30000000}), 0);
    std::string input;
    const int perQuery = 3;
    for (int i = 0; i < 64; ++i) {
        input += CodecCall(11, {1, 1000, 1000, 8}, "*IDN?\n") +
                 CodecCall(12, {1, 1024, 1000, 1000, 0, 0}) + CodecCall(13, {1, 0, 1000, 1000});
    }
    const int rounds = std::max(1, calls / (64 * perQuery));
    link.replies = 0;
    const double start = MonotonicMs();
    for (int i = 0; i < rounds; ++i) {
        link.service.Receive(1, records, input, 0);
    }
    const double seconds = (MonotonicMs() - start) / 1000.0;
    const double rate = static_cast<double>(link.replies) / seconds;
    char note[200];
    std::snprintf(note, sizeof note, "%zu calls (write, read, readstb) answered in %.1f ms",
                  link.replies, seconds * 1000.0);
    Figure("vxi11 codec calls per second", rate / 1e6, kCodecCallsLimit / 1e6, 1.0, note, "M",
           true);
}
