// The synchronous hand-off of the link's notifications from its monitor thread to the owner's
// thread, the same on every back end. How it works: see the top of LinkHandOff.cpp.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "LinkOwner.h"

/// The link's monitor thread and the one notification slot between it and the owner's
/// thread: starting and stopping the thread, and every hand-off while it runs.
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

    /// Owner's thread: starts the monitor thread running `body`; false when the thread could
    /// not be created. Marked alive before it exists, so that a stop in the gap before its
    /// first step still waits for it.
    bool StartMonitor(std::function<void()> body);
    /// Whether a monitor thread was started and not yet stopped.
    bool MonitorRunning() const { return m_monitorThread.joinable(); }

    /// Owner's thread: ends the monitor thread and joins it. Each round calls `signalStop`
    /// (which sets the link's stop event), dispatches a parked notification (the thread may be
    /// blocked delivering it), lets the owner service its thread (the thread may be blocked in
    /// a report shown there), then sleeps until a notification is parked or the thread has
    /// ended, for a short period: a Win32 Close's message loop without its spinning.
    void StopMonitor(const std::function<void()>& signalStop);

    /// The same with the owner detached, servicing nothing (the link's destructor): with no
    /// owner the monitor thread never waits for it, so the stop alone ends it.
    void StopMonitorDetached(const std::function<void()>& signalStop);

private:
    /// Empty: nothing waits. Parked: a notification waits for the owner's thread. Taken: its
    /// handler is running.
    enum class SlotState { Empty, Parked, Taken };

    /// One round of StopMonitor; false once the thread has ended.
    bool ServiceStopRound();

    std::thread m_monitorThread;

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
