#include "PortProbe.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "LockFile.h"
#include "PortHolder.h"

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
