// libFuzzer target: any bytes as a control socket request line. The parser must refuse or
// accept without crashing, leaking or hanging; an accepted request must survive a round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ControlProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    ControlRequest request;
    std::string error;
    if (!ParseControlRequest(line, request, error)) {
        if (error.empty()) {
            std::abort();  // a refusal always says why
        }
        return 0;
    }
    ControlRequest again;
    if (!ParseControlRequest(FormatControlRequest(request), again, error) ||
        again.command != request.command || again.text != request.text ||
        (request.command != ControlCommand::Hello && again.quantity != request.quantity)) {
        std::abort();
    }
    return 0;
}
