// The synchronous hand-off of the link's notifications from its monitor thread to the owner's
// thread, the same on every back end. How it works: see the top of LinkHandOff.cpp.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "LinkOwner.h"

/// One notification slot between the monitor thread and the owner's thread, plus the record
/// of whether the monitor thread is alive, so that a waiter cannot miss its end.
class CLinkHandOff {
public:
    /// Owner's thread, no monitor thread running: names the owner anew and empties the slot.
    void Reset(ILinkOwner* owner);

    /// Monitor thread: parks one notification, wakes the owner and waits until its handler
    /// has returned, or the owner has gone. Returns at once with no owner.
    void Deliver(unsigned message, std::uint32_t wParam, std::int32_t lParam);

    /// Owner's thread: runs the parked notification's handler, if any, and releases the
    /// monitor thread to read on.
    void DispatchPending();

    /// Drops the parked and every later notification until the next Reset. When it returns,
    /// no WakeOwner is running, so the owner may be destroyed.
    void DetachOwner();

    /// Owner's thread, before the monitor thread is created: marks it alive, so that a stop
    /// in the gap before its first step still waits for it.
    void MonitorStarting();
    /// The monitor thread's last step (or its creation failed): waiters may join from now on.
    void MonitorEnded();

    /// Owner's thread, the stop event set: one round of waiting for the monitor thread.
    /// Dispatches a parked notification (the thread may be blocked delivering it), lets the
    /// owner service its thread (the thread may be blocked in a report shown there), then
    /// sleeps until a notification is parked or the thread has ended, for at most `period`.
    /// Returns false once the thread has ended.
    bool ServiceStopRound(std::chrono::milliseconds period);

    /// Waits, servicing nothing, until the monitor thread has ended (owner detached).
    void AwaitMonitorEnd();

private:
    /// Empty: nothing waits. Parked: a notification waits for the owner's thread. Taken: its
    /// handler is running.
    enum class SlotState { Empty, Parked, Taken };

    std::mutex m_handoffMutex;
    std::condition_variable m_handoffCv;  // slot or m_bMonitorAlive changed
    ILinkOwner* m_pOwner = nullptr;
    bool m_bOwnerDetached = false;
    bool m_bMonitorAlive = false;
    SlotState m_slotState = SlotState::Empty;
    unsigned m_slotMessage = 0;
    std::uint32_t m_slotWParam = 0;
    std::int32_t m_slotLParam = 0;
    std::uint64_t m_slotSequence = 0;  // counts parked notifications
    std::mutex m_wakeMutex;            // held around WakeOwner
};
