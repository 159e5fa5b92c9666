// libFuzzer target: any bytes as what SCPI clients send, in pieces, against a module that
// answers, fails or stays silent as the input says. The engine must not crash, leak or hang;
// every answer is one line; nothing runs ahead of an outstanding module request; an idle
// engine holds at most one partial line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ScpiEngine.h"

namespace {

class Host : public scpi::EngineHost {
public:
    void Answer(std::string_view message) override {
        if (message.empty() || message.back() != '\n' || message.find('\n') != message.size() - 1 ||
            waiting) {
            std::abort();
        }
    }
    void Request(const ModuleRequest& request) override {
        if (waiting || (request.isSet && !InRange(request.quantity, request.value))) {
            std::abort();  // one request at a time, and only values the module takes
        }
        waiting = true;
    }
    void Setting(std::string_view) override {}
    bool waiting = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Host host;
    scpi::Engine engine({"Varnel,Fuzz,0,0", size % 2 == 1}, host);
    std::size_t at = 0;
    while (at < size) {
        // One control byte: how big the next piece is, and how a held request ends.
        const std::uint8_t control = data[at++];
        if (host.waiting) {
            host.waiting = false;
            const auto status = static_cast<ExchangeStatus>(control % 5);
            engine.Complete({status, control % 2 == 0 ? kChannelMin : kChannelMax, 1, "fuzz"});
        }
        const std::size_t piece = std::min<std::size_t>(size - at, 1u + control * 37u);
        engine.Feed(std::string_view(reinterpret_cast<const char*>(data + at), piece));
        at += piece;
        if (!engine.Waiting() && engine.Buffered() > scpi::kMaxLineBytes + 1) {
            std::abort();
        }
        if (engine.ErrorCount() > scpi::kErrorQueueDepth) {
            std::abort();
        }
    }
    return 0;
}
