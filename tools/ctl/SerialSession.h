// The module over the serial link, directly: the panel's own link, frames and reply framer.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "CommandFrame.h"
#include "LinkOwner.h"
#include "ModuleSession.h"
#include "OpenFailure.h"
#include "PortTarget.h"
#include "ReplyFramer.h"
#include "SerialLink.h"
#include "WakeEvent.h"

class StopSignal;

/// How long to wait for replies. An exchange sends its frame again after each reply wait
/// without a valid reply, until its time budget is spent (or the tries, when bounded).
struct SessionTiming {
    int budgetMs = 3000;    ///< give up on one exchange after this long
    int replyWaitMs = 250;  ///< wait for one reply before sending the frame again
    int tries = 0;          ///< frames sent per exchange at most; 0: no bound but the budget
};

/// A ModuleSession on a CSerialLink. The calling thread is the link's owner thread: received
/// bytes are handed to it only while it waits for a reply, one byte per hand-off.
class SerialSession final : public ModuleSession, private ILinkOwner, private IErrorReporter {
public:
    /// `stop` may be null (nothing interrupts the waits).
    SerialSession(SessionTiming timing, StopSignal* stop);
    ~SerialSession() override;
    SerialSession(const SerialSession&) = delete;
    SerialSession& operator=(const SerialSession&) = delete;

    /// Opens `target` at 9600 8N1 and starts the link. On failure returns false and puts the
    /// user's text (what failed, what to do) in `error`.
    bool Open(const PortTarget& target, std::string& error);

    ExchangeResult Get(Quantity quantity) override;
    ExchangeResult Set(Quantity quantity, int value) override;

private:
    /// What one wait for a reply ended with.
    enum class WaitEnd { Reply, Timeout, Lost, Interrupted };

    ExchangeResult Exchange(const CommandFrame& frame, Quantity quantity, bool isSet, int value);
    /// Waits until a valid reply of `quantity` arrived (its value into `value`), or the deadline.
    WaitEnd AwaitReply(Quantity quantity, std::int64_t deadlineNs, int& value);
    /// A report of the link, if one came, as one line.
    bool TakeReport(std::string& text);

    void OnLinkMessage(unsigned message, std::uint32_t wParam, std::int32_t lParam) override;
    void WakeOwner() override;
    void ShowReport(const std::string& caption, const std::string& text) override;

    SessionTiming m_timing;
    StopSignal* m_stop;
    WakeEvent m_wake;  // the monitor thread sets it through WakeOwner
    bool m_open = false;
    ReplyFramer m_framer;
    std::deque<CommandFrame> m_replies;  // accepted replies not yet looked at
    std::vector<std::uint8_t> m_recent;  // the last bytes received, for "last seen"
    std::mutex m_reportMutex;
    std::string m_report;  // guarded by m_reportMutex: the link's first report
    CSerialLink m_link;    // last, so it is gone before the members its owner calls use
};
