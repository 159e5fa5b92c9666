#include "PanelRoute.h"

#include <nlohmann/json.hpp>

#include "CtlOptions.h"
#include "PanelSession.h"

const char* const kDirectRoute = "directly";

PanelRoute::PanelRoute(const PortTarget& port) {
    PanelInfo panel;
    if (FindPanelFor(port, panel)) {
        m_panel = std::make_unique<PanelInfo>(std::move(panel));
    }
}

PanelRoute::~PanelRoute() = default;

long PanelRoute::Pid() const {
    return m_panel != nullptr ? m_panel->pid : 0;
}

std::unique_ptr<ModuleSession> PanelRoute::Connect(StopCheck* stop, bool fresh,
                                                   std::string& error) const {
    if (m_panel == nullptr) {
        error = "no panel holds the port";
        return nullptr;
    }
    auto session = std::make_unique<PanelSession>(stop, fresh);
    if (!session->Connect(*m_panel, error)) {
        return nullptr;
    }
    return session;
}

int RunPanels(const CtlOptions& options, std::FILE* out, std::FILE* messages) {
    const std::vector<PanelInfo> panels = ListPanels();
    for (const PanelInfo& panel : panels) {
        if (options.json) {
            std::fprintf(out, "%s\n",
                         nlohmann::json{{"pid", panel.pid},
                                        {"port", panel.port},
                                        {"device", panel.device},
                                        {"synced", panel.synced},
                                        {"socket", panel.socket}}
                             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                             .c_str());
        } else {
            std::fprintf(out, "PID %ld  %s  %s  %s\n", panel.pid, panel.port.c_str(),
                         panel.device.c_str(), panel.synced ? "synced" : "synchronising");
        }
    }
    if (panels.empty() && !options.json) {
        std::fprintf(messages, "varnel-ctl: no running panel serves a port\n");
    }
    return std::fflush(out) == 0 ? kExitOk : kExitFailure;
}
