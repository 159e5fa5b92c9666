#include "ExclusiveOpen.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "PortFacts.h"
#include "PosixPortNames.h"

namespace {

// Busy, naming the holder when one can be found: a lock file's PID, else a flock's.
OpenFailure Busy(const std::string& path, long lockFilePid) {
    OpenFailure failure;
    failure.kind = OpenFailureKind::Busy;
    failure.error = EBUSY;
    failure.holderPid = lockFilePid > 0 ? lockFilePid : FlockHolderOf(path);
    failure.holderName = ProgramNameOf(failure.holderPid);
    return failure;
}

OpenFailure FailureOf(int error) {
    OpenFailure failure;
    failure.kind = OpenFailureKindOf(error);
    failure.error = error;
    return failure;
}

// The open itself; on failure `failure` says why.
int OpenTerminal(const std::string& path, OpenFailure& failure) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        failure = FailureOf(errno);
        return -1;
    }
    // Not opened at all: a FIFO could block, and opening some character devices has effects
    // of its own (/dev/ptmx makes a new pty, /dev/tty is the operator's own terminal).
    if (!S_ISCHR(st.st_mode) || !CharDeviceIsTerminal(st.st_rdev)) {
        failure = FailureOf(ENOTTY);
        return -1;
    }
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        failure = FailureOf(errno);
        return -1;
    }
    // The entry may have changed since the stat: check what was opened.
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || ::isatty(fd) == 0) {
        ::close(fd);
        failure = FailureOf(ENOTTY);
        return -1;
    }
    return fd;
}

}  // namespace

OpenFailureKind OpenFailureKindOf(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
            return OpenFailureKind::NoSuchDevice;
        case EACCES:
        case EPERM:
            return OpenFailureKind::PermissionDenied;
        case EBUSY:
            return OpenFailureKind::Busy;
        case ENOTTY:
        case EISDIR:
            return OpenFailureKind::NotATerminal;
        default:
            return OpenFailureKind::Failed;
    }
}

int OpenExclusive(const std::string& path, CUucpLock& lock, OpenFailure& failure) {
    failure = {};
    if (path.empty()) {
        failure.kind = OpenFailureKind::NoSuchDevice;
        return -1;
    }
    const std::string shown = ShownDevice(path);
    const auto fail = [&](OpenFailure why) {
        lock.Release();
        failure = std::move(why);
        failure.device = shown;
        return -1;
    };
    // Honoured before the open: opening a line another program uses can disturb it.
    long lockFilePid = 0;
    switch (lock.Acquire(path, lockFilePid)) {
        case CUucpLock::Outcome::Held:
            return fail(Busy(path, lockFilePid));
        case CUucpLock::Outcome::Foreign: {
            OpenFailure busy = Busy(path, 0);
            busy.lockFile = LockFilePath(path);
            return fail(busy);
        }
        case CUucpLock::Outcome::Taken:
        case CUucpLock::Outcome::Skipped:
            break;
    }
    OpenFailure why;
    const int fd = OpenTerminal(path, why);
    if (fd < 0) {
        return fail(why.kind == OpenFailureKind::Busy ? Busy(path, 0) : why);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return fail(Busy(path, 0));
    }
    ::ioctl(fd, TIOCEXCL);
    return fd;
}

void EndExclusive(int fd, CUucpLock& lock) {
    // Undone before the close, as the next opener of the device would otherwise find it
    // exclusive. Both fail harmlessly on a hung-up tty.
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
    lock.Release();
}
