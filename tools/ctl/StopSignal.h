// SIGINT and SIGTERM as a descriptor to wait on, so that every wait of varnel-ctl (for a
// reply, through a dwell) can end at once when the user asks to stop.
#pragma once

/// Counts SIGINT and SIGTERM. Install() blocks both signals in the calling thread and receives
/// them through a signalfd. A blocked signal waits until someone reads it, so Install() comes
/// after every step that could block (opening the CSV file, the port, the panel's socket):
/// until then Ctrl-C ends the program at once, which is right while nothing has been sent.
class StopSignal {
public:
    StopSignal() = default;
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    /// Call on the main thread, where every wait happens; the serial link's thread blocks the
    /// signals by itself. False when the signalfd cannot be made.
    bool Install();
    /// Readable when a signal came; -1 before Install().
    int Fd() const { return m_fd; }
    /// Signals received so far.
    int Count();
    /// Waits up to `ms` milliseconds, or less when a signal has come (now or before); true
    /// when one has.
    bool WaitFor(double ms);

    /// How many signals make a wait for a reply give up: 1 for a single command; a sweep
    /// raises it to 2, so the first Ctrl-C lets the current step finish.
    void SetAbortLevel(int level) { m_abortLevel = level; }
    /// True when waits for a reply should give up now.
    bool Aborting() { return Count() >= m_abortLevel; }

private:
    int m_fd = -1;
    int m_count = 0;
    int m_abortLevel = 1;
};
