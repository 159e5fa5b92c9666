#include "ModuleQuantity.h"

#include <array>

#include "ReadoutText.h"

namespace {

constexpr std::array<QuantityInfo, 3> kQuantities{{
    {Quantity::Channel, CMD_CHANNEL, "channel", kChannelMin, kChannelMax, 0},
    {Quantity::Power, CMD_POWER, "power", kPowerMin, kPowerMax, 2},
    {Quantity::Output, CMD_OUTPUT, "output", 0, 1, 0},
}};

}  // namespace

const QuantityInfo& InfoOf(Quantity quantity) {
    return kQuantities[static_cast<std::size_t>(quantity)];
}

std::optional<Quantity> QuantityOfCommand(std::uint8_t command) {
    for (const QuantityInfo& info : kQuantities) {
        if (info.command == command) {
            return info.quantity;
        }
    }
    return std::nullopt;
}

std::optional<Quantity> QuantityNamed(const std::string& name) {
    for (const QuantityInfo& info : kQuantities) {
        if (name == info.name) {
            return info.quantity;
        }
    }
    return std::nullopt;
}

bool InRange(Quantity quantity, int value) {
    const QuantityInfo& info = InfoOf(quantity);
    return value >= info.minimum && value <= info.maximum;
}

std::string FormatQuantity(Quantity quantity, int value) {
    switch (quantity) {
        case Quantity::Channel:
            return std::to_string(value);
        case Quantity::Power:
            return PowerText(value) + " dBm";
        case Quantity::Output:
            break;
    }
    return value != 0 ? "on" : "off";
}

std::string RangeText(Quantity quantity) {
    const QuantityInfo& info = InfoOf(quantity);
    if (quantity == Quantity::Power) {
        return PowerText(info.minimum) + "-" + FormatQuantity(quantity, info.maximum);
    }
    return FormatQuantity(quantity, info.minimum) + "-" + FormatQuantity(quantity, info.maximum);
}

std::optional<ModuleReply> DecodeReply(const CommandFrame& frame) {
    if (KindOf(frame) != FrameKind::Reply || FrameChecksum(frame) != frame[5]) {
        return std::nullopt;
    }
    const std::optional<Quantity> quantity = QuantityOfCommand(frame[2]);
    if (!quantity) {
        return std::nullopt;
    }
    const int high = frame[3];
    const int low = frame[4];
    int value = 0;
    switch (*quantity) {
        case Quantity::Channel:
            if (high != 0) {
                return std::nullopt;
            }
            value = low;
            break;
        case Quantity::Power:
            value = FrameValue(frame);
            break;
        case Quantity::Output:
            // 00 00 and 01 01 are the only states; anything else names none.
            if (high != low || high > 1) {
                return std::nullopt;
            }
            value = high;
            break;
    }
    if (!InRange(*quantity, value)) {
        return std::nullopt;
    }
    return ModuleReply{*quantity, value};
}

CommandFrame SetFrameFor(Quantity quantity, int value) {
    switch (quantity) {
        case Quantity::Channel:
            return SetChannelFrame(value);
        case Quantity::Power:
            return SetPowerFrame(value);
        case Quantity::Output:
            break;
    }
    return SetOutputFrame(value != 0);
}
