// Opening a port's device for the link's sole use, with the reason when it does not open.
#pragma once

#include <string>

#include "LockFile.h"
#include "OpenFailure.h"

/// The class of a failed open(2) or stat(2) of a port's device.
OpenFailureKind OpenFailureKindOf(int error);

/// Opens the terminal device at `path` (a COM entry or a device) non-blocking, without making
/// it the controlling terminal, and takes it for the link alone: the UUCP lock file in
/// `lock`, an exclusive flock (which keeps out a second panel even as root) and TIOCEXCL
/// (which keeps out other programs' opens, except root's). Anything that is not a terminal
/// (regular file, FIFO, folder, /dev/null) is refused, before the open when stat tells and
/// after it when the entry changed in between. Returns the descriptor, or -1 with `failure`
/// filled in and nothing left open or locked.
int OpenExclusive(const std::string& path, CUucpLock& lock, OpenFailure& failure);

/// Gives up the exclusive use of `fd` (before it is closed) and the lock file.
void EndExclusive(int fd, CUucpLock& lock);
