// A manual-reset event on an eventfd, the POSIX stand-in for the link's Win32 events: poll()
// can wait on it beside the port's descriptor.
#pragma once

#include <atomic>

/// Manual-reset event: once Set it stays signalled (its descriptor polls readable) until Reset.
/// Set and Reset of one event must not run at the same time on two threads; the link calls
/// them from one thread or under the lock that guards what the event announces. IsSet may be
/// called from any thread.
class CManualEvent {
public:
    CManualEvent() = default;
    ~CManualEvent();
    CManualEvent(const CManualEvent&) = delete;
    CManualEvent& operator=(const CManualEvent&) = delete;

    /// Creates the eventfd, non-signalled. False (errno set) when the system refuses.
    bool Create();
    /// True between Create and Destroy.
    bool Exists() const { return m_fd >= 0; }
    /// Signals the event; true on success.
    bool Set();
    /// Makes the event non-signalled.
    void Reset();
    /// Whether the event is signalled.
    bool IsSet() const { return m_signalled.load(std::memory_order_acquire); }
    /// The descriptor to poll for POLLIN; -1 when the event does not exist.
    int Fd() const { return m_fd; }
    /// Closes the eventfd.
    void Destroy();

private:
    int m_fd = -1;
    std::atomic<bool> m_signalled{false};
};
