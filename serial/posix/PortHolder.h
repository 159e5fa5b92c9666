// Who holds a port: the process behind a flock on the device, and a process's program name.
// Only used to tell the operator; nothing here decides whether a port opens.
#pragma once

#include <istream>
#include <string>

/// The file a lock is held on, as /proc/locks names it: the filesystem's device numbers
/// (st_dev) and the inode.
struct LockedFile {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned long inode = 0;
};

/// The PID holding a FLOCK on `file` in the text of /proc/locks; waiting requests ("->")
/// and other lock kinds are skipped. 0 when none is listed.
long FindFlockHolder(std::istream& procLocks, const LockedFile& file);

/// The PID holding a flock on the file at `path` (links followed), from /proc/locks; 0 when
/// none is found or it cannot be told.
long FlockHolderOf(const std::string& path);

/// The program name of process `pid` (/proc/<pid>/comm); empty when it cannot be read.
std::string ProgramNameOf(long pid);
