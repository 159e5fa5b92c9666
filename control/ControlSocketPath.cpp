#include "ControlSocketPath.h"

#include "RuntimeFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool FillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool IsOurSocket(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::geteuid();
}

// Never waits: a listener whose queue is full (a panel that hangs) fails with EAGAIN rather
// than holding the caller. The connected socket is handed back blocking.
int RawConnect(const std::string& path) {
    sockaddr_un address{};
    if (!FillAddress(path, address)) {
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

std::string ControlFolder() {
    return RuntimeFolder();
}

std::string ControlSocketPath(const std::string& folder, long pid) {
    return folder + "/panel-" + std::to_string(pid) + ".sock";
}

bool PrepareControlFolder(const std::string& folder, std::string& error) {
    return MakePrivateFolder(folder, error);
}

int ListenControlSocket(const std::string& path, std::string& error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid()) {
            error = path + " exists and is not a socket of ours; it is left alone";
            return -1;
        }
        const int probe = RawConnect(path);
        if (probe >= 0 || errno != ECONNREFUSED) {
            if (probe >= 0) {
                ::close(probe);
            }
            error = path + " is in use";
            return -1;
        }
        ::unlink(path.c_str());  // ours, and nobody listens: left by a run that ended badly
    }
    sockaddr_un address{};
    if (!FillAddress(path, address)) {
        error = path + ": the path is too long for a socket";
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        return -1;
    }
    // The folder is 0700 already; the socket's own mode is set before anyone can connect.
    if (::fchmod(fd, 0600) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool PeerIsThisUser(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
           length == sizeof credentials && credentials.uid == ::geteuid();
}

std::vector<std::string> ListControlSockets(const std::string& folder) {
    std::vector<std::string> sockets;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return sockets;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind("panel-", 0) == 0 && name.size() > 11 &&
            name.compare(name.size() - 5, 5, ".sock") == 0 && IsOurSocket(folder + "/" + name)) {
            sockets.push_back(folder + "/" + name);
        }
    }
    ::closedir(dir);
    return sockets;
}

void RemoveStaleControlSockets(const std::string& folder) {
    for (const std::string& path : ListControlSockets(folder)) {
        const int fd = RawConnect(path);
        if (fd >= 0) {
            ::close(fd);
        } else if (errno == ECONNREFUSED && IsOurSocket(path)) {
            ::unlink(path.c_str());
        }
    }
}

int ConnectControlSocket(const std::string& path) {
    if (!IsOurSocket(path)) {
        errno = EPERM;
        return -1;
    }
    const int fd = RawConnect(path);
    if (fd >= 0 && !PeerIsThisUser(fd)) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}
