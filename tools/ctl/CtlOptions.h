// varnel-ctl's command line, parsed without side effects so that tests can drive it.
#pragma once

#include <string>
#include <vector>

#include "ModuleSession.h"
#include "OptionTable.h"
#include "PortTarget.h"

/// Exit codes, the same for every command.
enum CtlExit : int {
    kExitOk = 0,            ///< done
    kExitFailure = 1,       ///< anything else: a CSV file that cannot be written, ...
    kExitPort = 2,          ///< the port cannot be opened, or went away
    kExitNoReply = 3,       ///< no reply, or a reply with another value than asked for
    kExitUsage = 64,        ///< bad command line or value; nothing was sent
    kExitInterrupted = 130  ///< stopped by SIGINT or SIGTERM
};

/// Steps of one sweep at most (channels times passes): years at line speed, far inside an int.
inline constexpr long long kMaxSweepSteps = 100'000'000;

/// The commands.
enum class CtlCommand { None, Ports, Panels, Get, Set, Sweep, Monitor };

/// One setting of a set command, in range (or clamped into it).
struct SetRequest {
    Quantity quantity;
    int value;  ///< channel, hundredths of a dBm, or 1/0
};

/// Everything the command line chooses.
struct CtlOptions {
    CtlCommand command = CtlCommand::None;
    bool help = false;     ///< --help: the program's, or the command's when one is named
    bool version = false;  ///< --version
    PortTarget port;

    bool json = false;      ///< records as JSON Lines on standard output
    std::string csvPath;    ///< also write records as CSV here
    int timeoutMs = 3000;   ///< give up on one exchange after this long
    int replyWaitMs = 250;  ///< send the frame again after this long without a valid reply
    int tries = 0;          ///< frames sent per exchange at most; 0: as the timeout allows

    bool direct = false;  ///< never through a running panel, even when it holds the port
    bool fresh = false;   ///< get through a panel: the panel queries the module first

    bool all = false;                  ///< ports: also those not there
    std::vector<Quantity> quantities;  ///< get: what to read (all when none given)
    std::vector<SetRequest> settings;  ///< set: in the order given
    bool clamp = false;                ///< set: clamp out-of-range values as the panel does
    std::vector<int> channels;         ///< sweep: the channels in order
    double dwellS = 0;                 ///< sweep: time on each channel
    bool sweepPower = false;           ///< sweep: set `power` first
    int power = 0;                     ///< sweep: hundredths of a dBm
    int repeat = 1;                    ///< sweep: passes over the list
    bool offAtEnd = false;             ///< sweep: output off when it ends, however it ends
    double intervalS = 1.0;            ///< monitor: time between polls
};

/// The options of every command that talks to the module, serve's included: how long one
/// exchange may take, how often a frame goes out, and whether a running panel may carry it.
std::vector<cmdline::Option> SessionOptions(int& timeoutMs, int& replyWaitMs, int& tries,
                                            bool& direct);

/// varnel-ctl's options, read into `options`; each row's group is the CtlCommand it belongs to
/// (None: every command).
std::vector<cmdline::Option> CtlOptionTable(CtlOptions& options);

/// Parses the arguments after the program name. Returns an empty string on success, else
/// one line saying what is wrong and how to put it right.
std::string ParseCtlOptions(const std::vector<std::string>& args, CtlOptions& options);

/// The text of --help: the program's for CtlCommand::None, else the command's.
std::string CtlHelpText(CtlCommand command);
