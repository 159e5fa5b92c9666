#include "Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "PosixPortNames.h"
#include "Wait.h"

namespace testkit {

Pty::Pty(int com, bool raw) {
    char name[128] = "";
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
        ::ptsname_r(m_master, name, sizeof name) != 0 ||
        (m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)) < 0) {
        m_error = std::string("pseudo-terminal: ") + std::strerror(errno);
        return;
    }
    m_slavePath = name;
    termios tio{};
    if (raw && ::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    if (com != 0) {
        std::error_code ec;
        std::filesystem::create_symlink(name, PortEntryPath(com), ec);
        if (ec) {
            m_error = "cannot publish " + PortEntryPath(com) + ": " + ec.message();
            return;
        }
        m_entry = PortEntryPath(com);
    }
}

Pty::~Pty() {
    if (!m_entry.empty()) {
        std::error_code ignored;
        std::filesystem::remove(m_entry, ignored);
    }
    CloseMaster();
    if (m_slave >= 0) {
        ::close(m_slave);
    }
}

bool Pty::Write(const Bytes& bytes) const {
    std::size_t done = 0;
    WaitUntil(
        [&] {
            const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
            return done == bytes.size() || (n < 0 && errno != EAGAIN && errno != EINTR);
        },
        kGenerousMs, {}, 1);
    return done == bytes.size();
}

Bytes Pty::Read(std::size_t count, int quietMs) const {
    Bytes got;
    Bytes chunk(65536);
    pollfd wait{m_master, POLLIN, 0};
    while (got.size() < count && ::poll(&wait, 1, quietMs) > 0) {
        const ssize_t n =
            ::read(m_master, chunk.data(), std::min(chunk.size(), count - got.size()));
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), chunk.begin(), chunk.begin() + n);
    }
    return got;
}

int Pty::SlaveQueued() const {
    int queued = -1;
    ::ioctl(m_slave, FIONREAD, &queued);
    return queued;
}

bool Pty::WaitSlaveQueued(int count) const {
    return WaitUntil([&] { return SlaveQueued() == count; }, 5000, {}, 1);
}

void Pty::CloseMaster() {
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

}  // namespace testkit
