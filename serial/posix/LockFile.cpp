#include "LockFile.h"

#include "PosixPortNames.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr char kDevPrefix[] = "/dev/";

// A lock file is a few bytes; more than this is not one.
constexpr std::size_t kMaxLockText = 128;

bool IsFolder(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string OurLockText() {
    char text[32];
    std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
    return text;
}

// Creates the lock file with our PID, complete or not at all: the text goes into a temporary
// file that is then linked to the lock's name, so nobody reads a lock file without its PID
// (and takes it for stale). False, errno set, when it could not; EEXIST when it exists.
bool WriteLockFile(const std::string& path) {
    std::string temporary = path.substr(0, path.rfind('/') + 1) + "LTMP.varnel.XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const std::string text = OurLockText();
    const bool written = ::fchmod(fd, 0644) == 0 &&
                         ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int error = errno;
    ::close(fd);
    const bool linked = written && ::link(temporary.c_str(), path.c_str()) == 0;
    if (written && !linked) {
        error = errno;
    }
    ::unlink(temporary.c_str());
    errno = error;
    return linked;
}

}  // namespace

std::string LockFolder() {
    const char* injected = std::getenv("VARNEL_LOCK_DIR");
    if (injected != nullptr && *injected != '\0') {
        return injected;
    }
    return IsFolder("/run/lock") ? "/run/lock" : "/var/lock";
}

std::string LockFileName(const std::string& devicePath) {
    const std::string device = ResolvedPath(devicePath);
    std::string name;
    if (device.compare(0, sizeof kDevPrefix - 1, kDevPrefix) == 0) {
        name = device.substr(sizeof kDevPrefix - 1);
        for (char& c : name) {
            c = c == '/' ? '-' : c;
        }
    } else {
        name = device.substr(device.rfind('/') + 1);
    }
    return "LCK.." + name;
}

std::string LockFilePath(const std::string& devicePath) {
    return LockFolder() + "/" + LockFileName(devicePath);
}

long ParseLockPid(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    // Read wide, so that a number beyond pid_t is refused here rather than cut down to 1 or -1.
    const long long pid = std::strtoll(begin, &end, 10);
    if (end == begin || errno != 0 || pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
        return 0;
    }
    return static_cast<long>(pid);
}

bool ProcessAlive(long pid) {
    return pid > 0 && pid <= std::numeric_limits<pid_t>::max() &&
           (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

LockFileState ReadLockFile(const std::string& path, std::string& text) {
    text.clear();
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // ELOOP: a link; ENXIO: a socket. Anything else there is no lock we could honour.
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) ? LockFileState::Foreign
                                                                       : LockFileState::Missing;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return LockFileState::Foreign;
    }
    char buffer[kMaxLockText] = {};
    ssize_t got = 0;
    do {
        got = ::read(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got < 0) {
        return LockFileState::Missing;
    }
    text.assign(buffer, static_cast<std::size_t>(got));
    return LockFileState::Text;
}

long LockFileHolder(const std::string& devicePath) {
    std::string text;
    if (ReadLockFile(LockFilePath(devicePath), text) != LockFileState::Text) {
        return 0;
    }
    const long pid = ParseLockPid(text);
    return pid != static_cast<long>(::getpid()) && ProcessAlive(pid) ? pid : 0;
}

CUucpLock::Outcome CUucpLock::Acquire(const std::string& devicePath, long& holderPid) {
    Release();
    holderPid = 0;
    const std::string path = LockFilePath(devicePath);
    // Two rounds: the second follows the removal of a stale lock file.
    for (int round = 0; round < 2; ++round) {
        if (WriteLockFile(path)) {
            m_path = path;
            return Outcome::Taken;
        }
        if (errno != EEXIST) {
            return Outcome::Skipped;  // flock and TIOCEXCL still keep the port ours
        }
        std::string text;
        switch (ReadLockFile(path, text)) {
            case LockFileState::Foreign:
                return Outcome::Foreign;  // never removed: it is not ours to judge
            case LockFileState::Missing:
                continue;  // gone meanwhile (try again), or not ours to read
            case LockFileState::Text:
                break;
        }
        const long pid = ParseLockPid(text);
        if (ProcessAlive(pid)) {
            holderPid = pid;
            return Outcome::Held;
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return Outcome::Skipped;  // a stale lock we may not remove: nothing to honour
        }
    }
    return Outcome::Skipped;
}

void CUucpLock::Release() {
    if (m_path.empty()) {
        return;
    }
    // Only while it still names us: a program that took it for stale and replaced it keeps it.
    std::string text;
    if (ReadLockFile(m_path, text) == LockFileState::Text &&
        ParseLockPid(text) == static_cast<long>(::getpid())) {
        ::unlink(m_path.c_str());
    }
    m_path.clear();
}
