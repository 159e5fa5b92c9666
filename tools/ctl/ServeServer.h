// varnel-ctl serve: the module as an SCPI instrument on TCP. One poll loop serves every client,
// each with its own SCPI engine; one worker thread runs the blocking module exchanges one at a
// time and wakes the loop when each ends, so *IDN? and the other local commands are answered
// while the module is slow.
#pragma once

#include <string>
#include <vector>

/// Runs `varnel-ctl serve` with the arguments after the program name; returns the exit code
/// (CtlExit). `version` goes into the *IDN? answer.
int RunServe(const std::vector<std::string>& args, const char* version);
