// Why StartMonitor or Send did nothing. The panel only asks "did it work" (the int results);
// scripts and tests that need the reason use the Try... forms that return these.
#pragma once

/// Outcome of CSerialLink::TryStartMonitor.
enum class MonitorStart {
    Started,         ///< the monitor thread runs
    NeverOpened,     ///< no Open has created the link's events yet: nothing to monitor
    AlreadyRunning,  ///< a monitor runs already; two would read each other's bytes
    ThreadFailed,    ///< the system refused to create the thread
};

/// Outcome of CSerialLink::TrySend.
enum class SendResult {
    Queued,       ///< the bytes wait in the send slot and the monitor thread was woken
    NoBuffer,     ///< no Open has allocated the send slot
    BadLength,    ///< the length is negative or larger than the send slot
    NoBytes,      ///< a positive length with a null pointer
    EventFailed,  ///< the bytes are queued but the send event could not be signalled
};
