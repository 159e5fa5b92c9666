// varnel-ctl: the laser module from the command line. This file only wires the parsed
// command line to the session, the record sink and the signals; the logic is in the library.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CtlCommands.h"
#include "CtlOptions.h"
#include "PanelRoute.h"
#include "RecordSink.h"
#include "SerialSession.h"
#include "ServeOptions.h"
#include "ServeServer.h"
#include "StopSignal.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (IsServeCommand(args)) {
        return RunServe(args, VARNEL_VERSION);
    }
    CtlOptions options;
    if (const std::string error = ParseCtlOptions(args, options); !error.empty()) {
        std::fprintf(stderr, "varnel-ctl: %s\n", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(CtlHelpText(options.command).c_str(), stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("varnel-ctl %s\n", VARNEL_VERSION);
        return kExitOk;
    }
    // A reader that goes away (| head) ends the output with an error, not the process.
    SurviveLostReader();
    if (options.command == CtlCommand::Ports) {
        return RunPorts(options, stdout, stderr);
    }
    if (options.command == CtlCommand::Panels) {
        return RunPanels(options, stdout, stderr);
    }

    // Ctrl-C keeps its default effect (the program ends) while files and the port are
    // opened; the signals are only taken over for the waits, where they are read.
    StopSignal stop;
    const auto takeSignals = [&stop] {
        if (stop.Install()) {
            return true;
        }
        std::perror("varnel-ctl: cannot receive signals");
        return false;
    };
    RecordSink sink(stdout, options.json);
    std::string error;
    if (!options.csvPath.empty() && !sink.OpenCsv(options.csvPath, error)) {
        std::fprintf(stderr, "varnel-ctl: %s\n", error.c_str());
        return kExitFailure;
    }
    // A running panel that holds the port serves it; otherwise the port itself.
    const PanelRoute panel(options.port);
    const bool throughPanel = panel.Found();
    if (throughPanel && !options.direct) {
        const std::unique_ptr<ModuleSession> session = panel.Connect(&stop, options.fresh, error);
        if (session == nullptr) {
            std::fprintf(stderr, "varnel-ctl: %s\n", error.c_str());
            return kExitPort;
        }
        if (!takeSignals()) {
            return kExitFailure;
        }
        CtlContext context{*session, sink, &stop, stderr};
        return RunModuleCommand(options, context);
    }
    SerialSession session(
        {.budgetMs = options.timeoutMs, .replyWaitMs = options.replyWaitMs, .tries = options.tries},
        &stop);
    if (!session.Open(options.port, error)) {
        std::fprintf(stderr, "varnel-ctl: %s%s\n", error.c_str(),
                     throughPanel ? " (a panel holds it: without --direct the commands go "
                                    "through the panel)"
                                  : "");
        return kExitPort;
    }
    if (!takeSignals()) {
        return kExitFailure;
    }
    CtlContext context{session, sink, &stop, stderr};
    return RunModuleCommand(options, context);
}
