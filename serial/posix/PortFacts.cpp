#include "PortFacts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "LockFile.h"
#include "PortNames.h"

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
                return {pid, ProgramNameOf(pid)};
            }
        }
    }
    return {};
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
    long pid = FlockHolderOf(device);
    if (pid == static_cast<long>(::getpid())) {
        pid = 0;
    }
    if (pid == 0) {
        pid = LockFileHolder(device);
    }
    return pid != 0 ? PortHolder{pid, ProgramNameOf(pid)} : PortHolder{};
}

PortHolder FindHolder(const std::string& device) {
    PortHolder holder = FindLockHolder(device);
    struct stat target {};
    if (holder.pid != 0 || ::stat(device.c_str(), &target) != 0) {
        return holder;
    }
    return HolderFromProc(target);
}

PortFacts FactsOfPort(int com) {
    PortFacts facts;
    facts.com = com;
    facts.present = PortExists(com);
    facts.device = ShownDevice(PortDevicePath(com));
    if (facts.present) {
        facts.byId = ByIdName(facts.device);
        facts.usb = UsbIdentityOf(facts.device);
        facts.holder = FindLockHolder(facts.device);
    }
    return facts;
}

std::string DescribePortFacts(const PortFacts& facts) {
    std::string line = facts.device;
    if (!facts.present) {
        return line + "  not there";
    }
    if (!facts.byId.empty()) {
        line += "  " + facts.byId;
    }
    if (!facts.usb.vendorId.empty()) {
        line += "  usb " + facts.usb.vendorId + ":" + facts.usb.productId;
        if (!facts.usb.serial.empty()) {
            line += " serial " + facts.usb.serial;
        }
    }
    if (facts.holder.pid != 0) {
        line += "  held by " + (facts.holder.name.empty() ? "" : facts.holder.name + " ") +
                "(PID " + std::to_string(facts.holder.pid) + ")";
    }
    return line;
}

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
