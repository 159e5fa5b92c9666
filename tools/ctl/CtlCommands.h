// The commands of varnel-ctl, run against any ModuleSession.
#pragma once

#include <cstdio>
#include <string>

#include "CtlOptions.h"
#include "ModuleSession.h"
#include "RecordSink.h"

class StopSignal;

/// What a command needs besides its options.
struct CtlContext {
    ModuleSession& session;
    RecordSink& sink;
    StopSignal* stop;     ///< may be null: nothing interrupts
    std::FILE* messages;  ///< where failures are told (standard error)
};

/// Runs get, set, sweep or monitor; returns the exit code (CtlExit).
int RunModuleCommand(const CtlOptions& options, CtlContext& context);

/// Lists the ports (the ports command) to `out`; returns the exit code.
int RunPorts(const CtlOptions& options, std::FILE* out, std::FILE* messages);
