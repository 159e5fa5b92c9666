#include "ModuleSession.h"

#include <cstdio>

#include "CommandFrame.h"

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
