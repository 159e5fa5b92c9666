// The module as varnel-ctl sees it: one quantity read or set at a time, each answered with
// what the module reported. The direct serial link is one implementation; a running panel
// that serves its port to scripts can be another, behind the same interface.
#pragma once

#include <cstdint>
#include <string>

#include "ModuleQuantity.h"

/// One get or set, as a caller that does not block (the SCPI engine) asks for it: read
/// `quantity`, or set it to `value` (already in range).
struct ModuleRequest {
    bool isSet = false;
    Quantity quantity = Quantity::Channel;
    int value = 0;
};

/// How one get or set ended.
enum class ExchangeStatus {
    Ok,           ///< the module answered (for a set: with the value asked for)
    NoReply,      ///< no usable reply within the tries
    Mismatch,     ///< the module answered a set with another value, every try
    PortLost,     ///< the port went away (adapter pulled, module ended)
    Interrupted,  ///< the user asked to stop while waiting
};

/// The outcome of one get or set. `value` is only ever a value the module sent.
struct ExchangeResult {
    ExchangeStatus status = ExchangeStatus::NoReply;
    int value = 0;       ///< Ok: the reported value; Mismatch: the value reported instead
    int tries = 0;       ///< frames sent
    std::string detail;  ///< for a failure: what was last seen on the line, or why it ended
};

/// A conversation with one module: blocking, one command at a time.
class ModuleSession {
public:
    virtual ~ModuleSession() = default;
    /// Queries `quantity` and returns what the module reports.
    virtual ExchangeResult Get(Quantity quantity) = 0;
    /// Sets `quantity` to `value` (already in range) and returns the module's answer.
    virtual ExchangeResult Set(Quantity quantity, int value) = 0;

    /// `request` run as a Get or a Set.
    ExchangeResult Run(const ModuleRequest& request) {
        return request.isSet ? Set(request.quantity, request.value) : Get(request.quantity);
    }
};

/// One line for a failed exchange, e.g. "no reply to set power 8.20 dBm after 3 tries; last
/// seen: nothing". `value` is the value asked for (ignored for a get).
std::string DescribeExchangeFailure(bool isSet, Quantity quantity, int value,
                                    const ExchangeResult& result);
inline std::string DescribeExchangeFailure(const ModuleRequest& request,
                                           const ExchangeResult& result) {
    return DescribeExchangeFailure(request.isSet, request.quantity, request.value, result);
}
