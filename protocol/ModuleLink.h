// The module's serial line as every program opens it: 9600 baud, 8 data bits, no parity, one
// stop bit, received bytes watched, and the link's timeouts. Only the link's plain declarations
// are used, no link code.
#pragma once

#include <cstdint>

#include "LinkMessages.h"
#include "LinkSettings.h"

/// The module's line: 9600 8N1.
inline constexpr LineParameters kModuleLine{
    .baudRate = 9600, .parity = 'N', .dataBits = 8, .stopBits = 0};

/// Each of the link's five timeouts, as CSerialLink::Open takes them.
inline constexpr std::uint32_t kModuleLinkTimeout = 1000;

/// The settings a link to the module is opened with; the send buffer is the caller's choice.
constexpr LinkSettings ModuleLinkSettings(std::uint32_t sendBufferSize) {
    return {
        .line = kModuleLine,
        .eventMask = EV_RXCHAR,
        .sendBufferSize = sendBufferSize,
        .timeouts = {kModuleLinkTimeout, kModuleLinkTimeout, kModuleLinkTimeout, kModuleLinkTimeout,
                     kModuleLinkTimeout},
    };
}
