// The panel's command line: only --help and --version; the panel itself takes no options.
#pragma once

#include <cstdio>

/// What the command line asks for. Anything but the two options is an error, so that a
/// mistyped option never starts a panel that silently ignored it.
enum class CommandLineAction {
    RunPanel,  ///< no arguments
    Help,      ///< --help: usage printed, exit 0
    Version,   ///< --version: version printed, exit 0
    Error,     ///< anything else: message and usage on the error stream, exit 2
};

/// Reads `argv` (argc entries, argv[0] the program) and prints what the action says to `out`
/// or `err`. Returns the action; ExitCode() gives the process's exit code for it.
CommandLineAction HandleCommandLine(int argc, const char* const* argv, std::FILE* out,
                                    std::FILE* err);

/// The exit code of an action that ends the program before the panel starts.
int ExitCode(CommandLineAction action);
