// The panel route: a running panel that holds the port carries the commands through its
// control socket, and its window shows every step. The Windows panel has no control socket:
// there the route is absent, and varnel-ctl (serve too) holds the port itself.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "ModuleSession.h"
#include "PortTarget.h"

class StopCheck;
struct CtlOptions;
struct PanelInfo;

/// The running panel that holds a port, if one does.
class PanelRoute {
public:
    /// Looks for a running panel that holds `port` (never one on Windows).
    explicit PanelRoute(const PortTarget& port);
    ~PanelRoute();
    PanelRoute(const PanelRoute&) = delete;
    PanelRoute& operator=(const PanelRoute&) = delete;

    bool Found() const { return m_panel != nullptr; }
    /// The panel's process id; 0 when none was found.
    long Pid() const;
    /// A session through the panel found; null with the reason in `error`. `stop` may be
    /// null; `fresh`: gets have the panel query the module first.
    std::unique_ptr<ModuleSession> Connect(StopCheck* stop, bool fresh, std::string& error) const;

private:
    std::unique_ptr<PanelInfo> m_panel;
};

/// How serve tells the route without a panel: "directly", with the reason on Windows.
extern const char* const kDirectRoute;

/// The panels command: one line (or JSON object) per running panel; returns the exit code.
int RunPanels(const CtlOptions& options, std::FILE* out, std::FILE* messages);
