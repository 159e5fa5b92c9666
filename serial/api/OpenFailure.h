// Why a port did not open. The link's Open keeps its contract (returns 0 and shows nothing);
// it records the reason here so that the program can tell the operator what to do.
#pragma once

#include <string>

/// The class of an open failure, decided once from the failing call.
enum class OpenFailureKind {
    None,              ///< the last Open succeeded, or none was tried
    NoSuchDevice,      ///< the COM number resolves to nothing, or the device is not there
    PermissionDenied,  ///< the device exists but this user may not open it
    Busy,              ///< another program holds the port (lock file, flock or exclusive use)
    NotATerminal,      ///< what the COM number names is not a terminal device
    Failed,            ///< any other failure of the system call; `error` says which
};

/// The reason of the last failed Open.
struct OpenFailure {
    OpenFailureKind kind = OpenFailureKind::None;
    int error = 0;           ///< the system's error code of the failing call, 0 when none
    std::string device;      ///< the device path the COM number resolved to, when known
    long holderPid = 0;      ///< for Busy: the holder's process id when found, else 0
    std::string holderName;  ///< for Busy: the holder's program name when found
    std::string lockFile;    ///< for Busy: a lock file's name taken by something that is no
                             ///< lock file (a FIFO, a link), which keeps the port closed
};

/// The operator's text for a failed open of COM `portNumber`: names the port and its device,
/// says what went wrong and what to do, e.g. "COM33 (/dev/ttyUSB0) cannot be opened:
/// permission denied. ...". Empty for OpenFailureKind::None.
std::string DescribeOpenFailure(int portNumber, const OpenFailure& failure);
