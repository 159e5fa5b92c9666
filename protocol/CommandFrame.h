// Frames of the laser link protocol: six bytes, no length, no escapes, additive checksum.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

/// One frame in wire order: start, direction, command, value high, value low, checksum.
using CommandFrame = std::array<std::uint8_t, 6>;

/// Number of bytes in every frame, in both directions.
inline constexpr std::size_t kFrameSize = 6;

/// Command codes carried in byte 2.
enum : std::uint8_t {
    CMD_CHANNEL = 1,  ///< grid channel; the value sits in the low byte
    CMD_POWER = 2,    ///< output power in hundredths of a dBm, high byte first
    CMD_OUTPUT = 3,   ///< laser output: 00 00 off, 01 01 on
};

/// Header bytes (bytes 0 and 1) that tell the three kinds of frame apart.
enum class FrameKind : std::uint8_t {
    Set,    ///< 00 01, panel to module
    Query,  ///< 01 00, panel to module
    Reply,  ///< 01 01, module to panel
    Other,  ///< any other header
};

/// Low 8 bits of the sum of bytes 0 to 4.
std::uint8_t FrameChecksum(const CommandFrame& frame);

/// The value bytes 3 and 4 carry, high byte first, as any frame holds them (0 to 65535).
inline int FrameValue(const CommandFrame& frame) {
    return (frame[3] << 8) | frame[4];
}

/// Which kind of frame the header of `frame` names.
FrameKind KindOf(const CommandFrame& frame);

/// A whole frame with the given header, command and value bytes and its checksum.
CommandFrame MakeFrame(FrameKind kind, std::uint8_t command, std::uint8_t valueHigh,
                       std::uint8_t valueLow);

/// The reply the module sends for `command` with the given value bytes.
inline CommandFrame ReplyFrame(std::uint8_t command, std::uint8_t valueHigh,
                               std::uint8_t valueLow) {
    return MakeFrame(FrameKind::Reply, command, valueHigh, valueLow);
}

/// The set-channel frame for `channel` (already limited to 1..89 by the caller); the value
/// sits in the low byte. Each call makes its own frame: nothing is shared between callers.
CommandFrame SetChannelFrame(int channel);

/// The set-power frame for `power` (hundredths of a dBm, already limited to 700..1300).
CommandFrame SetPowerFrame(int power);

/// The set-output frame: 01 01 on, 00 00 off.
CommandFrame SetOutputFrame(bool on);

/// The constant query frame of CMD_CHANNEL, CMD_POWER or CMD_OUTPUT; nullptr for any other
/// command, so a bad code can never put a wrong frame on the wire.
const CommandFrame* QueryFrame(std::uint8_t command);
