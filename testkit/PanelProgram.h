// The real `varnel` program as a child, started as a user starts it: its own main, its own
// QApplication, the panel run modally with exec(). It shows itself on Qt's VNC platform, so a
// test can press keys in it with no display and no hook in the program.
#pragma once

#include <string>

#include "Process.h"

namespace testkit {

/// `varnel` on a private port folder (the caller's PortFolder, with every COM number of
/// the fixed tty table dangling, so the only port listed is the test's) and a private control
/// folder under $XDG_RUNTIME_DIR.
class PanelProgram {
public:
    PanelProgram() = default;
    ~PanelProgram();
    PanelProgram(const PanelProgram&) = delete;
    PanelProgram& operator=(const PanelProgram&) = delete;

    /// Starts `path` and connects to its screen; false with the reason in `error`.
    bool Start(const std::string& path, std::string& error);
    /// Presses the focused button (OpenPort, as the panel starts) with the space bar.
    bool PressSpace();
    /// The control socket the panel listens on once a port is open; empty until it exists.
    std::string SocketPath() const;
    long Pid() const { return m_process.Pid(); }
    /// CPU time the program used so far, in clock ticks.
    long CpuTicks() const;
    /// Ends it (SIGTERM, then SIGKILL) and returns what it wrote.
    std::string Stop();

private:
    Process m_process;
    int m_vnc = -1;  ///< our connection to its screen
};

}  // namespace testkit
