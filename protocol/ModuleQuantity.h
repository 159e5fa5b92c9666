// The module's three settings as one table (command byte, name, range, decimals) and the one
// decoder of its replies. Every program that reads the module goes through DecodeReply, so a
// reply the panel would drop is dropped everywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "CommandFrame.h"

/// One of the module's three settings.
enum class Quantity {
    Channel,  ///< grid channel
    Power,    ///< output power in hundredths of a dBm
    Output,   ///< laser output: 1 on, 0 off
};

/// Lowest and highest grid channel the module tunes to.
inline constexpr int kChannelMin = 1;
inline constexpr int kChannelMax = 89;
/// Lowest and highest output power, in hundredths of a dBm.
inline constexpr int kPowerMin = 700;
inline constexpr int kPowerMax = 1300;

/// What the protocol says about one quantity.
struct QuantityInfo {
    Quantity quantity;
    std::uint8_t command;  ///< CMD_* byte of its frames
    const char* name;      ///< "channel", "power", "output"
    int minimum;           ///< lowest value the module reports or accepts
    int maximum;           ///< highest value
    int decimals;          ///< decimal places of its text form (power: 2)
};

/// The table row of `quantity`.
const QuantityInfo& InfoOf(Quantity quantity);

/// The quantity whose frames carry `command`; nothing for an unknown command.
std::optional<Quantity> QuantityOfCommand(std::uint8_t command);

/// The quantity called `name` ("channel", "power", "output"); nothing otherwise.
std::optional<Quantity> QuantityNamed(const std::string& name);

/// "channel", "power" or "output".
inline const char* QuantityName(Quantity quantity) {
    return InfoOf(quantity).name;
}

/// The protocol command (CMD_*) of `quantity`.
inline std::uint8_t QuantityCommand(Quantity quantity) {
    return InfoOf(quantity).command;
}

/// True when `value` lies in the range of `quantity`.
bool InRange(Quantity quantity, int value);

/// A value of `quantity` as a person reads it: "45", "8.20 dBm", "on".
std::string FormatQuantity(Quantity quantity, int value);

/// The range of `quantity` as a person reads it: "1-89", "7.00-13.00 dBm".
std::string RangeText(Quantity quantity);

/// A reply as the module meant it: one quantity and its value, always in range.
struct ModuleReply {
    Quantity quantity;
    int value;
};

/// Decodes a reply frame that passed the framer. Nothing for a frame that is not a reply
/// (header other than 01 01, bad checksum), an unknown command, a channel reply whose high
/// byte is not 0 (a stray 01 ahead of a reply can shift the framer onto one that checks out),
/// a channel outside kChannelMin..kChannelMax, a power outside kPowerMin..kPowerMax, or an
/// output reply other than 00 00 and 01 01. Such a reply must change nothing: no state, no
/// readout, no timer.
std::optional<ModuleReply> DecodeReply(const CommandFrame& frame);

/// The set frame that asks the module for `value` of `quantity` (already in range).
CommandFrame SetFrameFor(Quantity quantity, int value);
