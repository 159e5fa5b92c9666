// How the serial link's monitor thread rouses varnel-ctl's waiting thread: a manual-reset
// event that the wait watches together with the stop signal. An eventfd and poll() on POSIX,
// an event and WaitForMultipleObjects on Windows.
#pragma once

#include <cstdint>

class StopSignal;

/// Set from any thread; reset and waited on by the owner's thread.
class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    /// False when the system could not make it.
    bool Valid() const;
    void Set();
    /// Clears it; a Set() after this wakes the next Wait.
    void Reset();
    /// Returns when it is set, when `stop` (may be null) has a request, or after `ms`
    /// milliseconds, whichever comes first (also early on an interrupted wait: callers
    /// check their state and deadline again).
    void Wait(const StopSignal* stop, int ms);

private:
    std::intptr_t m_handle = -1;  // the eventfd, or the event's HANDLE
};
