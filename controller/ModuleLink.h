// The module's line (protocol/ModuleLine.h) in the link's settings record, as the panel and
// varnel-ctl open it: received bytes watched. Only the link's plain declarations are used.
#pragma once

#include <cstdint>

#include "LinkMessages.h"
#include "LinkSettings.h"
#include "ModuleLine.h"

/// The module's line: 9600 8N1.
inline constexpr LineParameters kModuleLine{.baudRate = kModuleBaudRate,
                                            .parity = kModuleParity,
                                            .dataBits = kModuleDataBits,
                                            .stopBits = kModuleStopBits};

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
