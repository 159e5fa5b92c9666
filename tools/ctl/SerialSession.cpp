#include "SerialSession.h"
#include "PortArgument.h"

#include <algorithm>
#include <cstdio>

#include "LinkMessages.h"
#include "ModuleLink.h"
#include "Monotonic.h"
#include "StopSignal.h"

namespace {

// The module's line, as the panel opens it; one frame is all that is ever waiting to go.
constexpr LinkSettings kLinkSettings = ModuleLinkSettings(kFrameSize);

// Two frames: enough to show a reply that went wrong and what came before it.
constexpr std::size_t kRecentBytes = 2 * kFrameSize;

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(byte));
        text += (text.empty() ? "" : " ") + std::string(pair);
    }
    return text;
}

}  // namespace

SerialSession::SerialSession(SessionTiming timing, StopSignal* stop)
    : m_timing(timing), m_stop(stop) {
    m_link.SetErrorReporter(this);
}

SerialSession::~SerialSession() {
    if (m_open) {
        m_link.Close();
    }
    m_link.DetachOwner();
}

bool SerialSession::Open(const PortTarget& target, std::string& error) {
    if (!m_wake.Valid()) {
        error = "cannot make an event to wait on";
        return false;
    }
    OpenFailure failure;
    if (target.com != 0 && !CheckPortPresent(target.com, failure)) {
        error = DescribePortFailure(target, failure);
        return false;
    }
    if (OpenPortTarget(m_link, this, target, kLinkSettings) == 0) {
        error = DescribePortFailure(target, m_link.LastOpenFailure());
        return false;
    }
    m_open = true;
    std::string report;
    if (TakeReport(report)) {
        error = target.label + " opened but cannot be set up: " + report;
        return false;
    }
    if (const MonitorStart started = m_link.TryStartMonitor(); started != MonitorStart::Started) {
        error = std::string("cannot start the link's monitor thread: ") + MonitorStartText(started);
        return false;
    }
    return true;
}

ExchangeResult SerialSession::Get(Quantity quantity) {
    const CommandFrame* frame = QueryFrame(QuantityCommand(quantity));
    return Exchange(*frame, quantity, false, 0);
}

ExchangeResult SerialSession::Set(Quantity quantity, int value) {
    return Exchange(SetFrameFor(quantity, value), quantity, true, value);
}

ExchangeResult SerialSession::Exchange(const CommandFrame& frame, Quantity quantity, bool isSet,
                                       int value) {
    ExchangeResult result;
    result.detail = "nothing";
    bool mismatch = false;
    m_recent.clear();
    // A poor line loses a reply now and then: ride it out as the panel does, by asking again
    // until the budget is spent, not after a fixed count.
    const std::int64_t budgetEnd = MonotonicNs() + std::int64_t{m_timing.budgetMs} * 1'000'000;
    while ((m_timing.tries == 0 || result.tries < m_timing.tries) &&
           (result.tries == 0 || MonotonicNs() < budgetEnd)) {
        // A reply from before this frame, or a half frame, must not be taken for its answer.
        m_replies.clear();
        m_framer = ReplyFramer{};
        if (const SendResult sent = m_link.TrySend(frame.data(), static_cast<int>(frame.size()));
            sent != SendResult::Queued) {
            result.status = ExchangeStatus::PortLost;
            result.detail = std::string("the link refused the frame: ") + SendResultText(sent);
            return result;
        }
        ++result.tries;
        const std::int64_t deadline =
            std::min(MonotonicNs() + std::int64_t{m_timing.replyWaitMs} * 1'000'000, budgetEnd);
        int reported = 0;
        for (;;) {
            const WaitEnd end = AwaitReply(quantity, deadline, reported);
            if (end == WaitEnd::Lost) {
                result.status = ExchangeStatus::PortLost;
                TakeReport(result.detail);
                return result;
            }
            if (end == WaitEnd::Interrupted) {
                result.status = ExchangeStatus::Interrupted;
                return result;
            }
            if (end == WaitEnd::Timeout) {
                break;
            }
            if (!isSet || reported == value) {
                result.status = ExchangeStatus::Ok;
                result.value = reported;
                result.detail.clear();
                return result;
            }
            // A late answer to an earlier frame, or the module kept another value: wait on
            // for the answer to this frame, and send it again if none comes.
            mismatch = true;
            result.value = reported;
        }
        if (!m_recent.empty()) {
            result.detail = Hex(m_recent) + ", no valid reply";
        }
    }
    result.status = mismatch ? ExchangeStatus::Mismatch : ExchangeStatus::NoReply;
    return result;
}

SerialSession::WaitEnd SerialSession::AwaitReply(Quantity quantity, std::int64_t deadlineNs,
                                                 int& value) {
    for (;;) {
        // Reset first: a wake-up after this read is for a byte parked after it.
        m_wake.Reset();
        m_link.DispatchPending();
        while (!m_replies.empty()) {
            // A reply the panel would drop (out of range, a stray byte's forgery) is no reply.
            const std::optional<ModuleReply> reply = DecodeReply(m_replies.front());
            m_replies.pop_front();
            if (reply && reply->quantity == quantity) {
                value = reply->value;
                return WaitEnd::Reply;
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_reportMutex);
            if (!m_report.empty()) {
                return WaitEnd::Lost;
            }
        }
        if (m_stop != nullptr && m_stop->Aborting()) {
            return WaitEnd::Interrupted;
        }
        const std::int64_t leftNs = deadlineNs - MonotonicNs();
        if (leftNs <= 0) {
            return WaitEnd::Timeout;
        }
        m_wake.Wait(m_stop, static_cast<int>((leftNs + 999'999) / 1'000'000));
    }
}

bool SerialSession::TakeReport(std::string& text) {
    std::lock_guard<std::mutex> lock(m_reportMutex);
    if (m_report.empty()) {
        return false;
    }
    text = m_report;
    return true;
}

void SerialSession::OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t /*lParam*/) {
    if (message != WM_LINK_RXCHAR) {
        return;
    }
    const auto byte = static_cast<std::uint8_t>(wParam);
    if (m_recent.size() == kRecentBytes) {
        m_recent.erase(m_recent.begin());
    }
    m_recent.push_back(byte);
    if (const std::optional<CommandFrame> reply = m_framer.Feed(byte)) {
        m_replies.push_back(*reply);
    }
}

void SerialSession::WakeOwner() {
    m_wake.Set();
}

void SerialSession::ShowReport(const std::string& /*caption*/, const std::string& text) {
    // "WARNING:  ReadFile() Failed with the following error: \nInput/output error\n..." on
    // one line, for a terminal or a log.
    std::string line;
    for (const char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() != ' ') {
                line += ' ';
            }
        } else {
            line += c;
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    std::lock_guard<std::mutex> lock(m_reportMutex);
    if (m_report.empty()) {
        m_report = line;
    }
    WakeOwner();
}
