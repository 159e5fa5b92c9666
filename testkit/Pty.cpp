#include "Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "PosixPortNames.h"
#include "Wait.h"

namespace testkit {

Pty::Pty(int com, bool raw) {
    m_error = OpenPty(m_master, m_slave, m_slavePath, raw);
    if (!m_error.empty()) {
        return;
    }
    if (com != 0) {
        std::error_code ec;
        std::filesystem::create_symlink(m_slavePath, PortEntryPath(com), ec);
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
}

bool Pty::Write(const Bytes& bytes) const {
    std::size_t done = 0;
    WaitUntil(
        [&] {
            const ssize_t n = ::write(m_master.Get(), bytes.data() + done, bytes.size() - done);
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
            return done == bytes.size() || (n < 0 && errno != EAGAIN && errno != EINTR);
        },
        kGenerousMs, {}, 1);
    return done == bytes.size();
}

Bytes Pty::Read(std::size_t count, int quietMs) const {
    Bytes got;
    Bytes chunk(65536);
    pollfd wait{m_master.Get(), POLLIN, 0};
    while (got.size() < count && ::poll(&wait, 1, quietMs) > 0) {
        const ssize_t n =
            ::read(m_master.Get(), chunk.data(), std::min(chunk.size(), count - got.size()));
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), chunk.begin(), chunk.begin() + n);
    }
    return got;
}

int Pty::SlaveQueued() const {
    int queued = -1;
    ::ioctl(m_slave.Get(), FIONREAD, &queued);
    return queued;
}

bool Pty::WaitSlaveQueued(int count) const {
    return WaitUntil([&] { return SlaveQueued() == count; }, 5000, {}, 1);
}

void Pty::CloseMaster() {
    m_master.Close();
}

}  // namespace testkit
