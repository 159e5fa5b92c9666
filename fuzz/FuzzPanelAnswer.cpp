// libFuzzer target: any bytes as a panel's answer line, read by varnel-ctl's side of the control
// socket. Reading must never throw or crash, and an accepted value must be one a module sends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "PanelSession.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    PanelInfo panel;
    if (ReadHelloAnswer(line, "socket", panel) && (panel.port.empty() || panel.pid <= 0)) {
        std::abort();
    }
    for (const Quantity quantity : {Quantity::Channel, Quantity::Power, Quantity::Output}) {
        for (const char* field : {QuantityName(quantity), "value"}) {
            const ExchangeResult result = ReadPanelAnswer(line, field, quantity, "missing");
            if (result.status == ExchangeStatus::Ok ? !InRange(quantity, result.value)
                                                    : result.detail.empty()) {
                std::abort();
            }
        }
    }
    return 0;
}
