#include "ScpiStatus.h"

namespace scpi {
namespace {

/// Longest error text, quotes included, as SCPI allows.
constexpr std::size_t kMaxErrorText = 255;

std::string Entry(Error error) {
    return std::to_string(static_cast<int>(error)) + ",\"" + ErrorText(error);
}

}  // namespace

void StatusUnit::Report(Error error, std::string_view detail) {
    m_esr |= EsrBitOf(error);
    if (m_errors.size() >= kErrorQueueDepth) {
        m_errors.back() = Entry(Error::QueueOverflow) + '"';
        return;
    }
    std::string entry = Entry(error);
    if (!detail.empty()) {
        entry += ';';
        // Inside a quoted string: quotes doubled, control bytes and non-ASCII shown as '?'.
        for (const char c : detail) {
            if (entry.size() >= kMaxErrorText - 2) {
                break;
            }
            if (c == '"') {
                entry += "\"\"";
            } else {
                entry += c >= ' ' && c <= '~' ? c : '?';
            }
        }
    }
    entry += '"';
    m_errors.push_back(std::move(entry));
}

std::string StatusUnit::TakeError() {
    if (m_errors.empty()) {
        return Entry(Error::None) + '"';
    }
    std::string entry = std::move(m_errors.front());
    m_errors.pop_front();
    return entry;
}

void StatusUnit::Clear() {
    m_errors.clear();
    m_esr = 0;
}

std::uint8_t StatusUnit::TakeEventStatus() {
    const std::uint8_t esr = m_esr;
    m_esr = 0;
    return esr;
}

std::uint8_t StatusUnit::StatusByte(bool messageAvailable) const {
    std::uint8_t status = 0;
    if (!m_errors.empty()) {
        status |= kStbErrorQueue;
    }
    if (messageAvailable) {
        status |= kStbMessageAvailable;
    }
    if ((m_esr & m_ese) != 0) {
        status |= kStbEventSummary;
    }
    if ((status & m_sre) != 0) {
        status |= kStbMasterSummary;
    }
    return status;
}

}  // namespace scpi
