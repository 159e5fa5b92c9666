#include "CommandLine.h"

#include <string_view>

#include "VarnelVersion.h"

namespace {

constexpr const char* kUsage = "Usage: varnel [--help | --version]\n";

constexpr const char* kHelp =
    "\n"
    "Control panel for a tunable laser module on a serial port. Pick a COM port, press\n"
    "OpenPort, and set the channel (1-89, 50 GHz grid), the power (7.00-13.00 dBm) and the\n"
    "output. Ports resolve through $VARNEL_PORTS (else $XDG_RUNTIME_DIR/varnel/ports, else\n"
    "/tmp/varnel-<uid>/ports), then COM1-32 = /dev/ttyS0-31, COM33-64 = /dev/ttyUSB0-31,\n"
    "COM65-96 = /dev/ttyACM0-31.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

}  // namespace

CommandLineAction HandleCommandLine(int argc, const char* const* argv, std::FILE* out,
                                    std::FILE* err) {
    if (argc <= 1) {
        return CommandLineAction::RunPanel;
    }
    const std::string_view first = argv[1];
    if (argc == 2 && first == "--help") {
        std::fprintf(out, "%s%s", kUsage, kHelp);
        return CommandLineAction::Help;
    }
    if (argc == 2 && first == "--version") {
        std::fprintf(out, "varnel %s\n", varnel::kVersion);
        return CommandLineAction::Version;
    }
    const std::string_view wrong = first == "--help" || first == "--version" ? argv[2] : first;
    std::fprintf(err, "varnel: unexpected argument '%.*s'\n%s", static_cast<int>(wrong.size()),
                 wrong.data(), kUsage);
    return CommandLineAction::Error;
}

int ExitCode(CommandLineAction action) {
    return action == CommandLineAction::Error ? 2 : 0;
}
