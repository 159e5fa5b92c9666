// bench_panel: the real panel offscreen, the real serial link and varnel-module on ptys.
// Prints one line per figure (value, limit, ratio, target), or runs the fault soak.
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "Figures.h"

namespace {

constexpr const char* kUsage =
    "Usage: bench_panel [--smoke | --soak [SECONDS]] [--module PATH]\n"
    "\n"
    "Runs the panel offscreen against varnel-module on pseudo-terminals and prints one line\n"
    "per figure: name, value, unit, the limit it is compared with, the ratio and the target.\n"
    "  (no option)      every figure with full counts (about three minutes)\n"
    "  --smoke          every figure with tiny counts (a few seconds), for CI\n"
    "  --soak [S]       the fault soak for S seconds, 30 or more (default 60)\n"
    "  --only GROUP     one group of figures: sync (with close), receive, linerate, idle,\n"
    "                   slider, startup, control\n"
    "  --module PATH    the varnel-module to run (default: the one built beside the bench)\n"
    "Exit code 0 unless the bench could not measure or a soak check failed; a missed target\n"
    "is printed, not failed.\n";

// The groups of figures, in the order they run.
const struct {
    const char* name;
    bool (*run)(const bench::BenchConfig&, bench::BenchPanel&);
} kGroups[] = {{"sync", bench::RunSyncAndClose},     {"receive", bench::RunReceiveCapacity},
               {"linerate", bench::RunLineRateCost}, {"idle", bench::RunIdleCost},
               {"slider", bench::RunSliderToWire},   {"startup", bench::RunStartup},
               {"control", bench::RunControlSocket}};

// The GUI thread shows it is alive; the watchdog ends a bench that stops making progress.
std::atomic<std::int64_t> g_heartbeatNs{0};

// Ends the bench from outside the GUI thread when its deadline passes, the GUI thread hangs
// or a stop signal comes: removes the port folder and leaves without unwinding, since the
// GUI thread may be stuck anywhere. The children end by themselves: their standard input
// ends with the bench.
void Watch(sigset_t stops, std::int64_t deadlineNs, std::int64_t hangNs,
           const std::string& folder) {
    for (;;) {
        // One wake-up a second: cheap enough to leave the idle figure alone.
        const timespec wait{1, 0};
        const int sig = ::sigtimedwait(&stops, nullptr, &wait);
        const std::int64_t now = MonotonicNs();
        const char* why = sig > 0            ? "stopped by a signal"
                          : now > deadlineNs ? "its deadline passed"
                          : now - g_heartbeatNs.load() > hangNs
                              ? "the panel's thread made no progress (hang)"
                              : nullptr;
        if (why != nullptr) {
            std::fprintf(stderr, "bench_panel: ending: %s\n", why);
            std::fflush(stdout);
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
            ::_exit(sig > 0 ? 128 + sig : 3);
        }
    }
}

std::string Beside(const char* self, const char* name) {
    const std::string path = self;
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
}

}  // namespace

int main(int argc, char** argv) {
    bench::BenchConfig config;
    config.modulePath = VARNEL_MODULE_PATH;
    config.startupPanelPath = Beside(argv[0], "bench_startup_panel");
    config.startupMinimalPath = Beside(argv[0], "bench_startup_minimal");
    int soakSeconds = 0;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--smoke") {
            config.smoke = true;
        } else if (arg == "--soak") {
            soakSeconds = 60;
            if (i + 1 < argc &&
                std::strspn(argv[i + 1], "0123456789") == std::strlen(argv[i + 1])) {
                soakSeconds = std::atoi(argv[++i]);
                // Below 30 s there is no room for two memory windows after the pull.
                if (soakSeconds < 30 || soakSeconds > 24 * 3600) {
                    std::fprintf(stderr, "bench_panel: --soak takes 30 to 86400 seconds\n");
                    return 64;
                }
            }
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (arg == "--module" && i + 1 < argc) {
            config.modulePath = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "bench_panel: unknown argument %s\n\n%s", arg.c_str(), kUsage);
            return 64;
        }
    }
    if (::access(config.modulePath.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "bench_panel: cannot run %s; name it with --module\n",
                     config.modulePath.c_str());
        return 64;
    }

    // Stop signals are taken by the watchdog, so clean-up never runs inside a handler.
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stops, sig);
    }
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);

    static char programName[] = "bench_panel";
    char* qtArgv[] = {programName, nullptr};
    int qtArgc = 1;
    QApplication application(qtArgc, qtArgv);
    testkit::PortFolder folder(false);
    if (!folder.Ok()) {
        std::fprintf(stderr, "bench_panel: cannot create a port folder\n");
        return 1;
    }
    const int deadlineS = soakSeconds > 0 ? soakSeconds + 300 : (config.smoke ? 120 : 900);
    g_heartbeatNs = MonotonicNs();
    std::thread(Watch, stops, g_heartbeatNs + std::int64_t{deadlineS} * 1'000'000'000,
                std::int64_t{30} * 1'000'000'000, folder.Path())
        .detach();
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [] { g_heartbeatNs = MonotonicNs(); });
    heartbeat.start(1000);

    bool ok = true;
    {
        bench::BenchPanel panel;
        panel.driver.Show(5000);
        if (soakSeconds > 0) {
            ok = bench::RunSoak(config, panel, soakSeconds);
        } else {
            char host[256] = "";
            ::gethostname(host, sizeof host - 1);
            bench::Say(bench::Format("bench_panel%s on %s, %ld cores",
                                     config.smoke ? " --smoke" : "", host,
                                     ::sysconf(_SC_NPROCESSORS_ONLN)));
            bench::PrintFigureHeader();
            for (const auto& group : kGroups) {
                if (only.empty() || only == group.name) {
                    g_heartbeatNs = MonotonicNs();
                    ok = group.run(config, panel) && ok;
                }
            }
        }
    }
    bench::Say(ok ? "bench_panel: done" : "bench_panel: FAILED: see the lines above");
    return ok ? 0 : 1;
}
