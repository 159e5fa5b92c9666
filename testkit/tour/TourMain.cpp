// varnel-tour: runs the panel headless through a scripted tour against a port the caller
// names, for the demo and the end-to-end tests.
//
//   varnel-tour --com N [--screenshot FILE.png] [--exit-while-open]
//
// --exit-while-open ends the program the way an operator does who closes the panel with the
// port open: no further step, the link is torn down by the program's end.
// Exit code 0 when every step reached its expected state, 1 when one did not, 2 for a bad
// command line.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ControllerDlg.h"
#include "Globals.h"
#include "PanelTour.h"
#include "PortNames.h"

namespace {

int Usage(const char* problem) {
    std::fprintf(stderr,
                 "varnel-tour: %s\n"
                 "usage: varnel-tour --com N [--screenshot FILE.png] [--exit-while-open]\n",
                 problem);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    TourOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--com" && i + 1 < argc) {
            char* end = nullptr;
            const long com = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || com < 1 || com > kMaxComPort) {
                return Usage("--com wants a port number from 1 to 254");
            }
            options.com = static_cast<int>(com);
        } else if (arg == "--screenshot" && i + 1 < argc) {
            options.screenshotPath = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == "--exit-while-open") {
            options.exitWhileOpen = true;
        } else {
            return Usage(("unknown or incomplete option " + arg).c_str());
        }
    }
    if (options.com == 0) {
        return Usage("--com is required");
    }

    // Headless unless the caller chose a platform (an Xvfb display, say).
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static char programName[] = "varnel-tour";
    char* qtArgv[] = {programName, nullptr};
    int qtArgc = 1;
    QApplication application(qtArgc, qtArgv);

    // On the heap, so that anything that still reached the window after it is gone (the
    // port may be open and streaming) shows up as a use after free under the sanitizers.
    auto dialog = std::make_unique<CControllerDlg>();
    const bool passed = PanelTour(*dialog, g_state, options).Run();
    dialog.reset();
    std::printf("tour: %s\n", passed ? "every step reached its expected state" : "FAILED");
    return passed ? 0 : 1;
}
