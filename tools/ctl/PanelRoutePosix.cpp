#include "PanelRoute.h"

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

std::unique_ptr<ModuleSession> PanelRoute::Connect(StopSignal* stop, bool fresh,
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
