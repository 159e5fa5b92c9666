// How notifications reach the owner's thread
//
// Each notification is delivered synchronously: the monitor thread parks it in the slot
// (Empty -> Parked), calls ILinkOwner::WakeOwner, and waits. DispatchPending on the owner's
// thread takes it (Parked -> Taken), runs OnLinkMessage without any lock held, and empties the
// slot (Taken -> Empty); only then does the monitor thread read the next byte. Taken is not
// Empty so that a nested dispatch (a modal loop inside the handler) cannot run the same
// notification twice. m_slotSequence tells a handler's late "Empty" from a slot that a Close
// inside the handler already released and a new monitor refilled. The link's Close stops the
// monitor on the owner's thread, so it dispatches parked notifications itself and lets the
// owner service its thread while it waits (StopMonitor); DetachOwner empties the slot and
// makes every later Deliver return at once.
//
// Locks. m_handoffMutex guards the slot, the owner pointer and the monitor's alive flag (so a
// waiter cannot miss the thread's end); m_wakeMutex is held around WakeOwner so DetachOwner
// can wait out a wake-up in progress. The only nesting is m_wakeMutex -> m_handoffMutex. No
// lock is held across OnLinkMessage or ServiceWhileClosing, which may run a modal loop that
// closes the link.

#include "LinkHandOff.h"

#include <system_error>
#include <utility>

namespace {

// How long stopping the monitor sleeps between rounds of servicing the owner while the
// thread has nothing for it: short enough that timer ticks and a report box raised
// meanwhile stay lively, long enough not to spin.
constexpr std::chrono::milliseconds kStopServicePeriod{15};

}  // namespace

void CLinkHandOff::Reset(ILinkOwner* owner) {
    std::lock_guard<std::mutex> handoff(m_handoffMutex);
    m_pOwner = owner;
    m_bOwnerDetached = false;
    m_slotState = SlotState::Empty;
}

void CLinkHandOff::Deliver(unsigned message, std::uint32_t wParam, std::int32_t lParam) {
    std::unique_lock<std::mutex> lock(m_handoffMutex);
    if (m_bOwnerDetached || m_pOwner == nullptr) {
        return;
    }
    m_slotState = SlotState::Parked;
    m_slotMessage = message;
    m_slotWParam = wParam;
    m_slotLParam = lParam;
    ++m_slotSequence;
    ILinkOwner* owner = m_pOwner;
    m_handoffCv.notify_all();  // a Close waiting for "parked or ended"
    lock.unlock();

    {
        // Under m_wakeMutex, so that a DetachOwner returns only after this call has.
        std::lock_guard<std::mutex> wake(m_wakeMutex);
        bool attached = false;
        {
            std::lock_guard<std::mutex> handoff(m_handoffMutex);
            attached = !m_bOwnerDetached;
        }
        if (attached) {
            owner->WakeOwner();
        }
    }

    lock.lock();
    m_handoffCv.wait(lock, [this] { return m_slotState == SlotState::Empty || m_bOwnerDetached; });
}

void CLinkHandOff::DispatchPending() {
    std::unique_lock<std::mutex> lock(m_handoffMutex);
    if (m_slotState != SlotState::Parked || m_bOwnerDetached || m_pOwner == nullptr) {
        return;
    }
    // Taken, not emptied: the monitor thread reads on only once the handler has returned, and
    // a nested dispatch (a modal loop inside the handler) cannot run the same one twice.
    m_slotState = SlotState::Taken;
    const std::uint64_t sequence = m_slotSequence;
    const unsigned message = m_slotMessage;
    const std::uint32_t wParam = m_slotWParam;
    const std::int32_t lParam = m_slotLParam;
    ILinkOwner* owner = m_pOwner;
    lock.unlock();

    owner->OnLinkMessage(message, wParam, lParam);

    lock.lock();
    // A Close inside the handler may have released the slot already, and even started a new
    // monitor that parked a new notification: leave that one alone.
    if (m_slotSequence == sequence && m_slotState == SlotState::Taken) {
        m_slotState = SlotState::Empty;
    }
    m_handoffCv.notify_all();
}

void CLinkHandOff::DetachOwner() {
    {
        std::lock_guard<std::mutex> handoff(m_handoffMutex);
        m_bOwnerDetached = true;
        if (m_slotState == SlotState::Parked) {
            m_slotState = SlotState::Empty;
        }
    }
    m_handoffCv.notify_all();
    // Wait out a WakeOwner() the monitor thread may be in the middle of.
    std::lock_guard<std::mutex> wake(m_wakeMutex);
}

bool CLinkHandOff::StartMonitor(std::function<void()> body) {
    {
        std::lock_guard<std::mutex> handoff(m_handoffMutex);
        m_bMonitorAlive = true;
    }
    try {
        m_monitorThread = std::thread([this, body = std::move(body)] {
            body();
            // The last step: the owner's thread may join from now on.
            std::lock_guard<std::mutex> handoff(m_handoffMutex);
            m_bMonitorAlive = false;
            m_handoffCv.notify_all();
        });
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> handoff(m_handoffMutex);
        m_bMonitorAlive = false;
        return false;
    }
    return true;
}

void CLinkHandOff::StopMonitor(const std::function<void()>& signalStop) {
    while (m_monitorThread.joinable()) {
        signalStop();
        if (!ServiceStopRound()) {
            break;
        }
    }
    if (m_monitorThread.joinable()) {
        m_monitorThread.join();
    }
}

void CLinkHandOff::StopMonitorDetached(const std::function<void()>& signalStop) {
    if (!m_monitorThread.joinable()) {
        return;
    }
    signalStop();
    {
        std::unique_lock<std::mutex> lock(m_handoffMutex);
        m_handoffCv.wait(lock, [this] { return !m_bMonitorAlive; });
    }
    m_monitorThread.join();
}

bool CLinkHandOff::ServiceStopRound() {
    DispatchPending();
    ILinkOwner* owner = nullptr;
    {
        std::lock_guard<std::mutex> handoff(m_handoffMutex);
        if (!m_bOwnerDetached) {
            owner = m_pOwner;
        }
    }
    if (owner != nullptr) {
        owner->ServiceWhileClosing();
    }
    std::unique_lock<std::mutex> lock(m_handoffMutex);
    if (!m_bMonitorAlive) {
        return false;
    }
    if (m_slotState == SlotState::Taken) {
        // Stopping runs on the owner's thread, so a notification being handled now is one
        // this stop was called from. The thread need not wait for that handler (it would
        // wait for ever): it sees the stop event before the next byte.
        m_slotState = SlotState::Empty;
        m_handoffCv.notify_all();
    }
    m_handoffCv.wait_for(lock, kStopServicePeriod,
                         [this] { return !m_bMonitorAlive || m_slotState == SlotState::Parked; });
    return true;
}
