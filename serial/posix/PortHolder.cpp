#include "PortHolder.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <sstream>

long FindFlockHolder(std::istream& procLocks, const LockedFile& file) {
    // "1: FLOCK  ADVISORY  WRITE 4242 00:19:7 0 EOF"; a waiter reads "1: -> FLOCK ...".
    std::string line;
    while (std::getline(procLocks, line)) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, where;
        long pid = 0;
        if (!(fields >> id >> kind) || kind != "FLOCK" ||
            !(fields >> mode >> access >> pid >> where)) {
            continue;
        }
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long inode = 0;
        char tail = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu%c", &major, &minor, &inode, &tail) == 3 &&
            major == file.major && minor == file.minor && inode == file.inode && pid > 0) {
            return pid;
        }
    }
    return 0;
}

long FlockHolderOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return 0;
    }
    std::ifstream locks("/proc/locks");
    return FindFlockHolder(
        locks, {::major(st.st_dev), ::minor(st.st_dev), static_cast<unsigned long>(st.st_ino)});
}

std::string ProgramNameOf(long pid) {
    if (pid <= 0) {
        return {};
    }
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}
