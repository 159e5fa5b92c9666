#include "PtyPort.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "PortNames.h"
#include "PosixPortNames.h"

namespace {

std::string Errno() {
    return std::strerror(errno);
}

bool EntryPresent(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string DescribeEntry(const std::string& path) {
    char link[PATH_MAX];
    const ssize_t len = ::readlink(path.c_str(), link, sizeof link - 1);
    if (len <= 0) {
        return path;
    }
    std::string text = path + " -> " + std::string(link, static_cast<std::size_t>(len));
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        text += " (points at nothing: left by a module that was killed? remove it with rm)";
    }
    return text;
}

}  // namespace

// Publishes the slave as COMn. Returns the exit code to stop with, or 0 once published.
int Publish(int& com, const std::string& slavePath, PortEntry& entry) {
    std::string error;
    if (!MakePortFolder(error)) {
        Say(error + ". Set VARNEL_PORTS to a folder you can write to.");
        return kExitFailure;
    }
    const bool chosen = com == 0;
    for (int n = chosen ? 1 : com; n <= (chosen ? kMaxComPort : com); ++n) {
        const std::string path = PortEntryPath(n);
        if (chosen && (EntryPresent(path) || PortExists(n))) {
            continue;
        }
        if (!chosen && !EntryPresent(path) && PortExists(n)) {
            Say("note: COM" + std::to_string(n) + " now names the simulator instead of " +
                PortDevicePath(n) + " while it runs");
        }
        // symlink() never replaces: two modules racing for one number cannot both win.
        if (::symlink(slavePath.c_str(), path.c_str()) == 0) {
            entry.Adopt(path, slavePath);
            com = n;
            return 0;
        }
        if (errno != EEXIST) {
            Say("cannot create " + path + ": " + Errno() +
                ". Set VARNEL_PORTS to a folder you can write to.");
            return kExitFailure;
        }
        if (!chosen) {
            Say("COM" + std::to_string(n) + " is already taken: " + DescribeEntry(path) +
                ". Choose another number with --com, or leave out --com to take a free one.");
            return kExitPortTaken;
        }
    }
    Say("every COM number from 1 to " + std::to_string(kMaxComPort) + " in " + PortFolder() +
        " is taken. Remove stale entries there.");
    return kExitPortTaken;
}
