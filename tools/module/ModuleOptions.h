// The simulator's command line, parsed without side effects so it can be tested.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ModuleCore.h"
#include "OptionTable.h"

/// Stream rate meaning "as fast as the pty takes the bytes".
inline constexpr std::int64_t kStreamMax = -1;

/// Everything the command line chooses.
struct ModuleOptions {
    ModuleConfig module;              ///< the module's start values and faults
    int com = 0;                      ///< COM number to publish; 0 picks the lowest free one
    bool log = false;                 ///< print the wire log on standard output
    std::int64_t unplugAfterMs = -1;  ///< hang up after this long; -1 never
    std::int64_t streamRate = 0;      ///< bytes per second of unsolicited replies; 0 none
    bool seedGiven = false;           ///< --seed was given (else the host picks one)
    bool help = false;                ///< --help: print the help text and stop
};

/// The simulator's options, read into `options`, in the order --help shows them.
std::vector<cmdline::Option> ModuleOptionTable(ModuleOptions& options);

/// Parses the arguments after the program name into `options`. Returns an empty string on
/// success, else one line that says what is wrong and how to put it right.
std::string ParseModuleOptions(const std::vector<std::string>& args, ModuleOptions& options);

/// The text of --help.
std::string ModuleHelpText();
