// A pseudo-terminal pair as the module's end of a line: opened by the simulator, and by the
// test kit when a test plays the module itself.
#pragma once

#include <unistd.h>

#include <string>

/// A file descriptor closed on every way out.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Close(); }
    int Get() const { return m_fd; }
    void Reset(int fd) {
        Close();
        m_fd = fd;
    }
    void Close() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

private:
    int m_fd;
};

/// Opens a pty pair with a non-blocking master. The slave stays open too: with no slave open,
/// the master reports POLLHUP without end and a poll loop would spin. `raw` puts the slave in
/// raw mode at the module's speed; otherwise it keeps a pty's cooked default (which catches a
/// link that forgets raw mode). Returns an empty string, or what failed.
std::string OpenPty(Fd& master, Fd& slave, std::string& slavePath, bool raw);
