// Test support for the link engine: a pseudo-terminal published as COMn in a port folder of
// its own; the owner is RecordingOwner.h's.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "RecordingOwner.h"
#include "SerialLink.h"

namespace linktest {

using Bytes = std::vector<std::uint8_t>;

/// A report as the reporter records it and as standard error shows it.
inline std::string Report(const std::string& step, const std::string& systemText, int port) {
    return "Application Error: WARNING:  " + step + " Failed with the following error: \n" +
           systemText + "\n\nPort: " + std::to_string(port) + "\n";
}

/// A pty whose slave is COM<com> in a fresh folder named by $VARNEL_PORTS. The test keeps the
/// master (the module) and a slave descriptor of its own, which sees the unread input.
class PtyPort {
public:
    explicit PtyPort(int com = 201)
        : m_master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)) {
        char folder[] = "/tmp/varnel-linktest-XXXXXX";
        if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 || !::mkdtemp(folder)) {
            throw std::runtime_error("no pseudo-terminal or folder");
        }
        m_folder = folder;
        const std::string slave = ::ptsname(m_master);
        m_slave = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ::setenv("VARNEL_PORTS", folder, 1);     // before any link thread runs
        ::setenv("VARNEL_LOCK_DIR", folder, 1);  // lock files of the test's ptys stay here
        std::filesystem::create_symlink(slave, EntryPath(com));
    }
    ~PtyPort() {
        CloseMaster();
        ::close(m_slave);
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    int Master() const { return m_master; }
    std::string EntryPath(int com) const { return m_folder + "/COM" + std::to_string(com); }

    /// The slave hangs up, as when an adapter is pulled.
    void CloseMaster() {
        ::close(m_master);
        m_master = -1;
    }
    bool Write(const Bytes& bytes) {
        return ::write(m_master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    /// Bytes waiting in the slave's input queue, unread by the link.
    int SlaveQueued() const {
        int queued = -1;
        ::ioctl(m_slave, FIONREAD, &queued);
        return queued;
    }
    bool WaitSlaveQueued(int count) const {
        for (int i = 0; i < 5000 && SlaveQueued() != count; ++i) {
            ::usleep(1000);
        }
        return SlaveQueued() == count;
    }
    /// What the link wrote, until `count` bytes have come or nothing came for `quiet`.
    Bytes Read(std::size_t count, std::chrono::milliseconds quiet = 2s) {
        Bytes got;
        Bytes chunk(65536);
        pollfd wait{m_master, POLLIN, 0};
        while (got.size() < count && ::poll(&wait, 1, static_cast<int>(quiet.count())) > 0) {
            const ssize_t n = ::read(m_master, chunk.data(), chunk.size());
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        }
        return got;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_folder;
};

}  // namespace linktest
