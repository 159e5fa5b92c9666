#include "PortProbe.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace {

// USB interfaces sit a few levels below the device that carries idVendor.
constexpr int kUsbSearchDepth = 6;

// An open directory, closed on every way out.
struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

std::string RealPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string BaseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

bool SameDevice(const struct stat& a, const struct stat& b) {
    return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev;
}

// The processes with a descriptor on the character device `target`.
PortHolder HolderFromProc(const struct stat& target) {
    DirPtr proc(::opendir("/proc"));
    const long self = static_cast<long>(::getpid());
    while (proc) {
        const dirent* entry = ::readdir(proc.get());
        if (entry == nullptr) {
            break;
        }
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) {
            continue;
        }
        const std::string fdDir = "/proc/" + std::string(entry->d_name) + "/fd";
        DirPtr fds(::opendir(fdDir.c_str()));
        while (fds) {
            const dirent* fd = ::readdir(fds.get());
            if (fd == nullptr) {
                break;
            }
            // stat follows the descriptor's link to the node; nothing is opened.
            struct stat st {};
            if (fd->d_name[0] != '.' && ::stat((fdDir + "/" + fd->d_name).c_str(), &st) == 0 &&
                SameDevice(st, target)) {
                return {pid, ReadLine("/proc/" + std::string(entry->d_name) + "/comm")};
            }
        }
    }
    return {};
}

// A flock on the device node, as the serial link takes one, from /proc/locks: "1: FLOCK
// ADVISORY WRITE <pid> <major>:<minor>:<inode> 0 EOF", the numbers in hex, hex and decimal.
PortHolder HolderFromFlock(const struct stat& target) {
    std::ifstream locks("/proc/locks");
    const unsigned long wantMajor = ::major(target.st_dev);
    const unsigned long wantMinor = ::minor(target.st_dev);
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream in(line);
        std::string number, kind, mode, access, file;
        long pid = 0;
        if (!(in >> number >> kind >> mode >> access >> pid >> file) || kind != "FLOCK") {
            continue;
        }
        unsigned long major = 0, minor = 0, inode = 0;
        if (std::sscanf(file.c_str(), "%lx:%lx:%lu", &major, &minor, &inode) == 3 &&
            major == wantMajor && minor == wantMinor && inode == target.st_ino && pid > 0 &&
            pid != static_cast<long>(::getpid())) {
            return {pid, ReadLine("/proc/" + std::to_string(pid) + "/comm")};
        }
    }
    return {};
}

PortHolder HolderFromLockFile(const std::string& realDevice) {
    for (const char* folder : {"/run/lock", "/var/lock"}) {
        std::ifstream in(std::string(folder) + "/LCK.." + BaseName(realDevice));
        long pid = 0;
        if (in >> pid && pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) {
            return {pid, ReadLine("/proc/" + std::to_string(pid) + "/comm")};
        }
    }
    return {};
}

bool ProcessHasGroup(gid_t gid) {
    if (::getegid() == gid) {
        return true;
    }
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[static_cast<std::size_t>(i)] == gid) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string ShownDevice(const std::string& path) {
    std::string real = RealPath(path);
    if (!real.empty()) {
        return real;
    }
    char link[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), link, sizeof link - 1);
    return length > 0 ? std::string(link, static_cast<std::size_t>(length)) : path;
}

std::string ByIdName(const std::string& device) {
    const std::string real = RealPath(device);
    DirPtr dir(::opendir("/dev/serial/by-id"));
    while (dir && !real.empty()) {
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            break;
        }
        std::string path = std::string("/dev/serial/by-id/") + entry->d_name;
        if (entry->d_name[0] != '.' && RealPath(path) == real) {
            return path;
        }
    }
    return {};
}

UsbIdentity UsbIdentityOf(const std::string& device) {
    std::string dir = RealPath("/sys/class/tty/" + BaseName(RealPath(device)) + "/device");
    for (int depth = 0; depth < kUsbSearchDepth && dir.size() > 1; ++depth) {
        const std::string vendor = ReadLine(dir + "/idVendor");
        if (!vendor.empty()) {
            return {vendor, ReadLine(dir + "/idProduct"), ReadLine(dir + "/serial")};
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
    return {};
}

PortHolder FindLockHolder(const std::string& device) {
    struct stat target {};
    if (::stat(device.c_str(), &target) != 0) {
        return {};
    }
    const PortHolder holder = HolderFromFlock(target);
    return holder.pid != 0 ? holder : HolderFromLockFile(RealPath(device));
}

PortHolder FindHolder(const std::string& device) {
    PortHolder holder = FindLockHolder(device);
    struct stat target {};
    if (holder.pid != 0 || ::stat(device.c_str(), &target) != 0) {
        return holder;
    }
    return HolderFromProc(target);
}

std::string PermissionAdvice(const std::string& device) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) {
        return {};
    }
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return {};
    }
    const std::string name = found->gr_name;
    if (ProcessHasGroup(st.st_gid)) {
        return "It belongs to group " + name + ", which you are in; check its mode with ls -l " +
               device + ".";
    }
    // Listed in /etc/group but not in this process: added after this login began.
    const passwd* user = ::getpwuid(::geteuid());
    for (char** member = found->gr_mem; user != nullptr && *member != nullptr; ++member) {
        if (std::string(*member) == user->pw_name) {
            return "It belongs to group " + name +
                   "; you were added to it after this login began, so log out and in again.";
        }
    }
    return "It belongs to group " + name + ", which you are not in: add yourself with `sudo " +
           "usermod -aG " + name + " $USER`, then log out and in again (a new group counts " +
           "only from the next login).";
}
