// The control socket's figures: a set through the panel against a direct set, in one run. The
// panel is the varnel program itself, started as users start it.
#include <chrono>

#include "Figures.h"
#include "PanelProgram.h"
#include "PanelSession.h"
#include "PortArgument.h"
#include "Process.h"
#include "SerialSession.h"

namespace bench {

namespace {

constexpr int kComPanel = 215;
constexpr int kComDirect = 216;
constexpr double kAddedLimitMs = 5.0;  // the socket's cost on a set, median
// The typed entry's pause after a send (the controller's pacing of the module): a set through
// the panel is the operator's Enter, so it takes this pause, and the reply waits it out.
constexpr double kEntryPauseMs = 100.0;

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// Blocking sets on `session`, alternating between two channels; false on any failure.
bool TimeSets(ModuleSession& session, int count, std::vector<double>& times) {
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (session.Set(Quantity::Channel, 20 + i % 2).status != ExchangeStatus::Ok) {
            return false;
        }
        times.push_back(MsSince(start));
    }
    return true;
}

}  // namespace

bool RunControlSocket(const BenchConfig& config, BenchPanel& /*in-process panel: unused*/) {
    const int count = config.smoke ? 5 : 60;
    testkit::Process panelModule;
    testkit::Process directModule;
    const std::string& module = config.modulePath;
    if (!testkit::StartModule(panelModule, module, kComPanel, {}) ||
        !testkit::StartModule(directModule, module, kComDirect, {})) {
        Say("control: cannot start the modules");
        return false;
    }
    // The program lists the lowest COM first: the panel's module, nothing of the machine's.
    testkit::PanelProgram program;
    std::string error;
    if (!testkit::HideFixedPorts(std::getenv("VARNEL_PORTS")) ||
        !program.Start(VARNEL_PATH, error) || !program.PressSpace() ||
        !PanelDriver::WaitFor([&] { return !program.SocketPath().empty(); }, 10000)) {
        Say("control: the panel program did not open its port and listen: " + error);
        return false;
    }
    PanelInfo info;
    info.socket = program.SocketPath();
    PanelSession panelSession(nullptr, false);
    std::vector<double> throughPanel;
    // Its synchronisation ends a moment after it listens: asked until it answers.
    bool panelOk =
        panelSession.Connect(info, error) &&
        PanelDriver::WaitFor(
            [&] { return panelSession.Get(Quantity::Channel).status == ExchangeStatus::Ok; }, 10000,
            50) &&
        TimeSets(panelSession, count, throughPanel);

    // Direct, on a module of its own: the same sets on the same kind of pty.
    std::vector<double> direct;
    SerialSession session({}, nullptr);
    PortTarget target;
    const bool directOk = ParsePortTarget(Format("COM%d", kComDirect), target).empty() &&
                          session.Open(target, error) && TimeSets(session, count, direct);
    program.Stop();
    panelModule.Stop();
    directModule.Stop();
    if (!panelOk || !directOk) {
        Say("control: a set failed " +
            std::string(panelOk ? "directly: " + error : "through the panel"));
        return false;
    }
    const double panelMs = Median(throughPanel);
    const double directMs = Median(direct);
    const std::string n = Format("n=%d: through the panel %.2f ms, direct %.2f ms (medians)", count,
                                 panelMs, directMs);
    PrintFigures(
        {{"control.set_added", panelMs - directMs, "ms", kAddedLimitMs, Goal::AtMost, 1, n},
         {"control.set_added_beyond_pause", panelMs - directMs - kEntryPauseMs, "ms", kAddedLimitMs,
          Goal::AtMost, 1, "the typed entry's 100 ms pause taken out"}});
    return true;
}

}  // namespace bench
