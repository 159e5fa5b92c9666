// Why StartMonitor or Send did nothing. The panel only asks "did it work" (the int results);
// scripts and tests that need the reason use the Try... forms that return these.
//
// The serial layer's result convention: a call that can fail in more than one way returns
// its kind of outcome as an enum class whose first value is success (MonitorStart,
// SendResult, CUucpLock::Outcome). Where the operator must be told more, the kind travels
// with the system's error code and the facts for the text in one record, and one function
// words it (OpenFailure and DescribeOpenFailure). The int results of Open, Send and
// StartMonitor stay as the panel's behaviour is written (non-zero is success) and are thin
// wrappers of these. Set-up helpers with a single way to fail (MakePortFolder,
// MakePrivateFolder) return bool with the operator's sentence in an `error` argument.
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

/// What a refused TryStartMonitor means, for a program's message ("cannot start ...: <this>").
constexpr const char* MonitorStartText(MonitorStart result) {
    switch (result) {
        case MonitorStart::Started:
            return "started";
        case MonitorStart::NeverOpened:
            return "the port was never opened";
        case MonitorStart::AlreadyRunning:
            return "a monitor thread runs already";
        case MonitorStart::ThreadFailed:
            return "the system refused to create the thread";
    }
    return "unknown outcome";
}

/// What a refused TrySend means, for a program's message.
constexpr const char* SendResultText(SendResult result) {
    switch (result) {
        case SendResult::Queued:
            return "queued";
        case SendResult::NoBuffer:
            return "the port was never opened (no send buffer)";
        case SendResult::BadLength:
            return "the frame does not fit the send buffer";
        case SendResult::NoBytes:
            return "no bytes were given";
        case SendResult::EventFailed:
            return "the monitor thread could not be woken";
    }
    return "unknown outcome";
}
