// The user's request to stop (SIGINT and SIGTERM; a console's Ctrl-C, Ctrl-Break or close on
// Windows) as something to wait on, so that every wait of varnel-ctl (for a reply, through a
// dwell) can end at once when the user asks to stop.
#pragma once

#include <functional>

#include "StopCheck.h"

/// Counts the requests to stop. Install() takes them over: on POSIX it blocks SIGINT and
/// SIGTERM in the calling thread and receives them through a signalfd; on Windows a console
/// control handler counts them and sets an event. Until Install() the default holds (the
/// program ends at once), which is right while nothing has been sent, so Install() comes after
/// every step that could block (opening the CSV file, the port, the panel's socket).
class StopSignal final : public StopCheck {
public:
    StopSignal() = default;
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    /// Call on the main thread, where every wait happens; the serial link's thread blocks the
    /// signals by itself. False when the signals cannot be taken over.
    bool Install();
    /// POSIX: readable when a signal came; -1 before Install(), and always on Windows, which
    /// has no descriptor for it (see AlsoWake).
    int Fd() const override { return m_fd; }
    /// Windows: a manual-reset event set when a request came; null before Install(), and
    /// always on POSIX.
    void* Event() const { return m_event; }
    /// Windows: also calls `wake` (on the handler's thread) when a request comes, for a loop
    /// that waits on sockets alone. POSIX delivers nothing to call it from: there such a loop
    /// polls Fd() as well, and this does nothing.
    void AlsoWake(std::function<void()> wake);
    /// Requests received so far.
    int Count();
    /// Waits up to `ms` milliseconds, or less when a request has come (now or before); true
    /// when one has.
    bool WaitFor(double ms);

    /// How many requests make a wait for a reply give up: 1 for a single command; a sweep
    /// raises it to 2, so the first Ctrl-C lets the current step finish.
    void SetAbortLevel(int level) { m_abortLevel = level; }
    /// True when waits for a reply should give up now.
    bool Aborting() override { return Count() >= m_abortLevel; }

private:
    /// Blocks until a request comes or `ns` nanoseconds pass (possibly less: a signal, a
    /// spurious wake); the platform's half of WaitFor.
    void WaitAtMost(long long ns);

    int m_fd = -1;
    void* m_event = nullptr;
    int m_count = 0;
    int m_abortLevel = 1;
};
