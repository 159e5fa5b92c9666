// The real `varnel` program as a child, started as a user starts it: its own main, its own
// QApplication, the panel run modally with exec(). It shows itself on Qt's VNC platform, so a
// test can press keys in it with no display and no hook in the program.
#pragma once

#include <QProcess>
#include <QString>
#include <string>

namespace testkit {

/// `varnel` on a private port folder (the caller's PortFolderScope, with every COM number of
/// the fixed tty table dangling, so the only port listed is the test's) and a private control
/// folder under $XDG_RUNTIME_DIR.
class PanelProgram {
public:
    PanelProgram() = default;
    ~PanelProgram();
    PanelProgram(const PanelProgram&) = delete;
    PanelProgram& operator=(const PanelProgram&) = delete;

    /// Starts `path` (with `prlimit` arguments ahead of it when given) and connects to its
    /// screen; false with the reason in `error`.
    bool Start(const QString& path, std::string& error, const QStringList& wrapper = {});
    /// Presses the focused button (OpenPort, as the panel starts) with the space bar.
    bool PressSpace();
    /// The control socket the panel listens on once a port is open; empty until it exists.
    std::string SocketPath() const;
    long Pid() const { return static_cast<long>(m_process.processId()); }
    /// CPU time the program used so far, in clock ticks.
    long CpuTicks() const;
    /// Ends it (SIGTERM, then SIGKILL) and returns what it wrote.
    QByteArray Stop();

private:
    QProcess m_process;
    int m_vnc = -1;  ///< our connection to its screen
};

/// Makes COM1..COM96 in the port folder dangling links, so none of the machine's own ports
/// (a real UART at COM1) is listed or opened.
bool HideFixedPorts(const std::string& portFolder);

}  // namespace testkit
