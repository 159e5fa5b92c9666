#include "PanelRoute.h"

#include "CtlOptions.h"

// A struct of its own here: the control socket's client is not built on Windows.
struct PanelInfo {};

const char* const kDirectRoute =
    "directly, holding the port itself: the Windows panel has no control socket";

PanelRoute::PanelRoute(const PortTarget& /*port*/) {}

PanelRoute::~PanelRoute() = default;

long PanelRoute::Pid() const {
    return 0;
}

std::unique_ptr<ModuleSession> PanelRoute::Connect(StopCheck* /*stop*/, bool /*fresh*/,
                                                   std::string& error) const {
    error = "the Windows panel has no control socket";
    return nullptr;
}

int RunPanels(const CtlOptions& options, std::FILE* /*out*/, std::FILE* messages) {
    if (!options.json) {
        std::fprintf(messages,
                     "varnel-ctl: no running panel serves a port (the Windows panel has no "
                     "control socket)\n");
    }
    return kExitOk;
}
