#include "ModuleSession.h"

#include <cstdio>

#include "CommandFrame.h"

const char* QuantityName(Quantity quantity) {
    switch (quantity) {
        case Quantity::Channel:
            return "channel";
        case Quantity::Power:
            return "power";
        case Quantity::Output:
            break;
    }
    return "output";
}

std::uint8_t QuantityCommand(Quantity quantity) {
    switch (quantity) {
        case Quantity::Channel:
            return CMD_CHANNEL;
        case Quantity::Power:
            return CMD_POWER;
        case Quantity::Output:
            break;
    }
    return CMD_OUTPUT;
}

std::string FormatQuantity(Quantity quantity, int value) {
    switch (quantity) {
        case Quantity::Channel:
            return std::to_string(value);
        case Quantity::Power: {
            // Digits, not a double: hundredths print exactly (705 is 7.05).
            char text[32];
            std::snprintf(text, sizeof text, "%d.%02d dBm", value / 100, value % 100);
            return text;
        }
        case Quantity::Output:
            break;
    }
    return value != 0 ? "on" : "off";
}

std::string DescribeExchangeFailure(bool isSet, Quantity quantity, int value,
                                    const ExchangeResult& result) {
    std::string what =
        isSet ? std::string("set ") + QuantityName(quantity) + " " + FormatQuantity(quantity, value)
              : std::string("get ") + QuantityName(quantity);
    const std::string tries =
        std::to_string(result.tries) + (result.tries == 1 ? " try" : " tries");
    switch (result.status) {
        case ExchangeStatus::Ok:
            return {};
        case ExchangeStatus::NoReply:
            return "no reply to " + what + " after " + tries + "; last seen: " + result.detail;
        case ExchangeStatus::Mismatch:
            return "the module answered " + what + " with " +
                   FormatQuantity(quantity, result.value) + " after " + tries;
        case ExchangeStatus::PortLost:
            return "the port went away during " + what + ": " + result.detail;
        case ExchangeStatus::Interrupted:
            break;
    }
    return "interrupted during " + what;
}
