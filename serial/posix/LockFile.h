// UUCP-style lock files, the convention other serial programs on Linux use to mark a port as
// in use: LCK..<device name> in /run/lock (or /var/lock) holding the holder's PID.
#pragma once

#include <string>

/// Folder of lock files: $VARNEL_LOCK_DIR when set (tests), else /run/lock when it is a
/// folder, else /var/lock.
std::string LockFolder();

/// The lock file's name for a device path, after links are resolved: "LCK..ttyUSB0" for
/// /dev/ttyUSB0. A device in a subfolder of /dev keeps the subfolder, joined with '-', so
/// that /dev/pts/3 gives "LCK..pts-3", not a bare number.
std::string LockFileName(const std::string& devicePath);

/// The lock file of `devicePath`: LockFileName in LockFolder().
std::string LockFilePath(const std::string& devicePath);

/// The PID a lock file's text names: ASCII decimal, leading blanks allowed, as written by
/// every current program; 0 when the text names none, or a number that is no process id
/// (0, negative, or beyond pid_t: kill() would read those as "every process" or a group).
long ParseLockPid(const std::string& text);

/// True when process `pid` exists (also when it belongs to another user); false for anything
/// that is not a process id.
bool ProcessAlive(long pid);

/// What sits at a lock file's name.
enum class LockFileState {
    Missing,  ///< nothing, or nothing this user may read
    Text,     ///< a plain file; its text was read
    Foreign,  ///< not a plain file (a FIFO, link, folder, socket or device): never a lock file
};

/// Reads the lock file at `path` without ever blocking or following a link: a FIFO would
/// hold an open until a writer came.
LockFileState ReadLockFile(const std::string& path, std::string& text);

/// The live process, other than this one, that the lock file of `devicePath` in LockFolder()
/// names; 0 when none does.
long LockFileHolder(const std::string& devicePath);

/// The lock file held for one port while the link has it open.
class CUucpLock {
public:
    /// What Acquire found.
    enum class Outcome {
        Taken,    ///< the lock file is ours (a stale one was removed first)
        Skipped,  ///< no lock file could be written (folder missing or not writable): carry on
        Held,     ///< a live process holds the lock; its PID is in holderPid
        Foreign,  ///< something that is no lock file has its name: the port counts as in use
    };

    CUucpLock() = default;
    ~CUucpLock() { Release(); }
    CUucpLock(const CUucpLock&) = delete;
    CUucpLock& operator=(const CUucpLock&) = delete;

    /// Takes the lock for `devicePath` in LockFolder(): writes our PID as the usual ten
    /// characters right-aligned plus a newline, atomically (a lock file never exists without
    /// its PID). A lock file whose PID is not alive is stale and replaced; one that is not a
    /// plain file is left alone. Releases a lock held before.
    Outcome Acquire(const std::string& devicePath, long& holderPid);
    /// Removes the lock file if this object wrote it and it still names this process.
    void Release();
    /// The lock file's path while held, else empty.
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};
