// One connection's status reporting as IEEE 488.2 and SCPI define it: the error queue, the
// standard event status register (ESR) with its enable (ESE), the service request enable
// (SRE) and the status byte, whose summary bits follow from the others by one rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "ScpiErrors.h"

namespace scpi {

/// Errors the queue holds; one more replaces the newest with -350.
inline constexpr std::size_t kErrorQueueDepth = 16;

/// Status byte bits (IEEE 488.2).
inline constexpr std::uint8_t kStbErrorQueue = 0x04;        ///< the error queue is not empty
inline constexpr std::uint8_t kStbMessageAvailable = 0x10;  ///< an answer is waiting
inline constexpr std::uint8_t kStbEventSummary = 0x20;      ///< ESR & ESE is not 0
inline constexpr std::uint8_t kStbMasterSummary = 0x40;     ///< the status byte & SRE is not 0

/// The error queue and the status registers of one connection.
class StatusUnit {
public:
    /// Queues `error` ("-222,\"Data out of range;detail\"") and sets its class's ESR bit.
    void Report(Error error, std::string_view detail = {});
    /// The oldest error, taken from the queue; "0,\"No error\"" when it is empty.
    std::string TakeError();
    /// Errors in the queue.
    std::size_t ErrorCount() const { return m_errors.size(); }
    /// *CLS: the queue and ESR emptied.
    void Clear();
    /// *OPC: every earlier command has completed.
    void OperationComplete() { m_esr |= kEsrOperationComplete; }
    /// *ESR?: the register, cleared by reading.
    std::uint8_t TakeEventStatus();

    /// *ESE.
    void SetEventEnable(int value) { m_ese = static_cast<std::uint8_t>(value); }
    std::uint8_t EventEnable() const { return m_ese; }
    /// *SRE: the master summary bit cannot be enabled.
    void SetServiceEnable(int value) {
        m_sre = static_cast<std::uint8_t>(value & ~kStbMasterSummary);
    }
    std::uint8_t ServiceEnable() const { return m_sre; }

    /// *STB?: the summary bits from the registers; `messageAvailable` when an answer waits.
    std::uint8_t StatusByte(bool messageAvailable) const;

private:
    std::deque<std::string> m_errors;  // oldest first
    std::uint8_t m_esr = 0;
    std::uint8_t m_ese = 0;
    std::uint8_t m_sre = 0;
};

}  // namespace scpi
