// The settings a link is opened with, as one record: line parameters, timeouts, the event
// mask and the send-buffer size. Free of termios and of any system header.
#pragma once

#include <cstdint>

/// The line settings as CSerialLink::Open takes them (its arguments 3 to 6).
struct LineParameters {
    std::uint32_t baudRate = 9600;  ///< bits per second
    char parity = 'N';              ///< parity letter, see ParityFromLetter
    std::uint32_t dataBits = 8;     ///< only the low 8 bits count, as in the DCB's ByteSize
    std::uint32_t stopBits = 0;     ///< code: 0 one, 1 one and a half, 2 two
};

/// The five timeouts, in the units CSerialLink::Open takes them (the link keeps them x1000,
/// as milliseconds).
struct LinkTimeouts {
    std::uint32_t readInterval = 0;
    std::uint32_t readTotalMultiplier = 0;
    std::uint32_t readTotalConstant = 0;
    std::uint32_t writeTotalMultiplier = 0;
    std::uint32_t writeTotalConstant = 0;
};

/// Everything an Open takes besides the owner and the port number.
struct LinkSettings {
    LineParameters line;
    std::uint32_t eventMask = 0;       ///< EV_* classes to watch (LinkMessages.h)
    std::uint32_t sendBufferSize = 0;  ///< capacity of the one-slot send buffer, in bytes
    LinkTimeouts timeouts;
};
