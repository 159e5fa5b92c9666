// A pseudo-terminal that plays the far end of a port: the owner holds the master (the module's
// side), and a descriptor of the slave too, which sees the input nobody has read yet and keeps
// the master from reporting a hang-up while the port is closed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "PtyPair.h"

namespace testkit {

using Bytes = std::vector<std::uint8_t>;

class Pty {
public:
    /// A pty published as COM `com` in the port folder ($VARNEL_PORTS) unless `com` is 0;
    /// `raw` switches the slave from a pty's cooked default (which catches a link that forgets
    /// raw mode) to raw.
    explicit Pty(int com = 0, bool raw = false);
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    /// Empty when the pty is there (and published), else what failed.
    const std::string& Error() const { return m_error; }
    int Master() const { return m_master.Get(); }
    const std::string& SlavePath() const { return m_slavePath; }

    /// Writes all of `bytes` to the master within the generous deadline.
    bool Write(const Bytes& bytes) const;
    bool Write(std::string_view text) const { return Write(Bytes(text.begin(), text.end())); }
    /// What arrived at the master, until `count` bytes have come or nothing came for `quietMs`.
    Bytes Read(std::size_t count, int quietMs = 2000) const;
    /// Bytes waiting in the slave's input queue, unread by the port's user.
    int SlaveQueued() const;
    bool WaitSlaveQueued(int count) const;
    /// The slave hangs up, as when an adapter is pulled.
    void CloseMaster();

private:
    // The slave closes after the master (members end in reverse order).
    Fd m_slave;
    Fd m_master;
    std::string m_slavePath;
    std::string m_entry;
    std::string m_error;
};

}  // namespace testkit
