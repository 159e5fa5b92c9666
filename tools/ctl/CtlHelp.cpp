// The --help texts of varnel-ctl and of each command.
#include "CtlOptions.h"
#include "PortArgument.h"

namespace {

constexpr const char* kExitCodes = R"(
Exit codes:
  0    done
  1    other failure (e.g. the CSV file cannot be written)
  2    the port cannot be opened, or went away
  3    no valid reply from the module within the timeout, or it answered with another
       value (or the panel answered something unreadable)
  64   bad command line or value (nothing was sent)
  130  interrupted by SIGINT (Ctrl-C) or SIGTERM
)";

constexpr const char* kMain = R"(Usage: varnel-ctl ports [--all]
       varnel-ctl panels
       varnel-ctl PORT get [channel|power|output]...
       varnel-ctl PORT set channel N | power DBM | output on|off ... [--clamp]
       varnel-ctl PORT sweep CHANNELS --dwell S [--power DBM] [--repeat N]
                                               [--output off-at-end]
       varnel-ctl PORT monitor [--interval S]
       varnel-ctl serve PORT [--listen ADDR:TCP] [--allow CIDR,...] [--read-only] ...

Talks to the laser module on a serial port, with the same frames and serial link as the
panel. PORTHELP

Every value printed is one the module reported; a reply out of the module's ranges
counts as damaged. A reply that is lost or damaged on the line is asked for again every
--reply-wait until --timeout is spent (or --tries frames were sent).

Options for every command:
OPTIONS

serve makes the module an SCPI instrument on TCP (default 127.0.0.1:5025) for PyVISA,
lxi-tools and test-station code: see varnel-ctl serve --help.
)";

constexpr const char* kPorts = R"(Usage: varnel-ctl ports [--all] [--json]

Lists every COM port the panel would list: its device, the /dev/serial/by-id name when
udev gives one, USB vendor:product and serial number when sysfs has them, and the program
that holds it, if any. Nothing is opened.
)";

constexpr const char* kPanels = R"(Usage: varnel-ctl panels [--json]

Lists the running panels of this user that serve their port to scripts: process id,
port, device, and whether the panel has read the module's settings yet.
)";

constexpr const char* kGet = R"(Usage: varnel-ctl PORT get [channel|power|output]... [--fresh]

Queries the module and prints what it reports: channel (with frequency in GHz,
wavelength in nm and ITU label), power in dBm, output on or off. Default: all three.
Through a running panel it prints what the panel last received.
)";

constexpr const char* kSet =
    R"(Usage: varnel-ctl PORT set channel N | power DBM | output on|off ... [--clamp]

Sends each setting in the order given, waits for the module's reply to it and checks
that the module reports the value asked for; prints what it reports. The power is read
as the panel reads a typed power (8.2 is 8.20 dBm), but the whole word must be a number
(not 8,2 or 8.2dBm). A channel outside CHMIN-CHMAX or a power outside POWERS is refused
before anything is sent, unless --clamp asks for the panel's clamping to the nearest value.
)";

constexpr const char* kSweep =
    R"(Usage: varnel-ctl PORT sweep CHANNELS --dwell S [--power DBM] [--repeat N]
                                           [--output off-at-end]

CHANNELS: CHMIN-CHMAX, 10,12,14, CHMIN-CHMAX:2 (every second), CHMAX-CHMIN (downward), or
several joined by commas; a sweep has at most MAXSTEPS steps. For each step: set the
channel, wait for the module's reply, dwell S seconds, read back channel, power and
output, and print one record. A progress bar with elapsed and remaining time shows on
standard error when it is a terminal.

The first Ctrl-C (or SIGTERM) ends the sweep after the current step (its dwell is cut
short), with every record so far written; a second one stops at once.
)";

constexpr const char* kMonitor = R"(Usage: varnel-ctl PORT monitor [--interval S]

Queries channel, power and output every S seconds (default 1) and prints a record when
something changed (the first always), until interrupted; Ctrl-C ends it with exit code 0.
)";

constexpr std::size_t kColumn = 18;  // where the options' help starts

const char* ProseOf(CtlCommand command) {
    switch (command) {
        case CtlCommand::Ports:
            return kPorts;
        case CtlCommand::Panels:
            return kPanels;
        case CtlCommand::Get:
            return kGet;
        case CtlCommand::Set:
            return kSet;
        case CtlCommand::Sweep:
            return kSweep;
        case CtlCommand::Monitor:
            return kMonitor;
        case CtlCommand::None:
            break;
    }
    return kMain;
}

// The prose, then the options that belong to the command (the program's: every command's),
// from the table the parser reads.
std::string TextOf(CtlCommand command) {
    CtlOptions unused;
    const std::vector<cmdline::Option> table = CtlOptionTable(unused);
    const std::string options = cmdline::HelpLines(table, kColumn, [command](const auto& row) {
        return row.group == static_cast<int>(command);
    });
    std::string text = ProseOf(command);
    if (command == CtlCommand::None) {
        text.replace(text.find("OPTIONS\n"), 8, options);
    } else if (!options.empty()) {
        text += "\nOptions (and those of every command, in varnel-ctl --help):\n" + options;
    }
    return text + kExitCodes;
}

}  // namespace

std::string CtlHelpText(CtlCommand command) {
    // The ranges come from the protocol's table, so the help cannot disagree with the module.
    std::string text = TextOf(command);
    const std::pair<std::string, std::string> facts[] = {
        {"CHMIN", std::to_string(kChannelMin)},
        {"CHMAX", std::to_string(kChannelMax)},
        {"POWERS", RangeText(Quantity::Power)},
        {"MAXSTEPS", std::to_string(kMaxSweepSteps)},
        {"PORTHELP", kPortHelp},
    };
    for (const auto& [name, fact] : facts) {
        for (std::size_t at = 0; (at = text.find(name, at)) != std::string::npos;) {
            text.replace(at, name.size(), fact);
        }
    }
    return text;
}
