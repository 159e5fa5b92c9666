#include "CtlCommands.h"

#include <climits>
#include <optional>

#include "StopSignal.h"

namespace {

constexpr Quantity kAll[] = {Quantity::Channel, Quantity::Power, Quantity::Output};

int ExitCodeOf(ExchangeStatus status) {
    switch (status) {
        case ExchangeStatus::Ok:
            return kExitOk;
        case ExchangeStatus::NoReply:
        case ExchangeStatus::Mismatch:
            return kExitNoReply;
        case ExchangeStatus::PortLost:
            return kExitPort;
        case ExchangeStatus::Interrupted:
            break;
    }
    return kExitInterrupted;
}

void Tell(CtlContext& context, const std::string& text) {
    std::fprintf(context.messages, "varnel-ctl: %s\n", text.c_str());
    std::fflush(context.messages);
}

Record NewRecord(const char* event) {
    Record record;
    record.event = event;
    return record;
}

void Store(Record& record, Quantity quantity, int value) {
    switch (quantity) {
        case Quantity::Channel:
            record.channel = value;
            break;
        case Quantity::Power:
            record.power = value;
            break;
        case Quantity::Output:
            record.output = value != 0;
            break;
    }
}

// One exchange; on failure tells why and returns the exit code, else stores the value.
int Exchange(CtlContext& context, bool isSet, Quantity quantity, int value, Record& record) {
    const ExchangeResult result =
        isSet ? context.session.Set(quantity, value) : context.session.Get(quantity);
    if (result.status != ExchangeStatus::Ok) {
        if (result.status != ExchangeStatus::Interrupted) {
            Tell(context, DescribeExchangeFailure(isSet, quantity, value, result));
        }
        return ExitCodeOf(result.status);
    }
    Store(record, quantity, result.value);
    record.time = std::chrono::system_clock::now();
    return kExitOk;
}

int ReadAll(CtlContext& context, Record& record) {
    for (const Quantity quantity : kAll) {
        if (const int code = Exchange(context, false, quantity, 0, record); code != kExitOk) {
            return code;
        }
    }
    return kExitOk;
}

int Emit(CtlContext& context, const Record& record) {
    std::string error;
    if (!context.sink.Write(record, error)) {
        Tell(context, error);
        return kExitFailure;
    }
    return kExitOk;
}

int RunGet(const CtlOptions& options, CtlContext& context) {
    Record record = NewRecord("get");
    int code = kExitOk;
    if (options.quantities.empty()) {
        code = ReadAll(context, record);
    }
    for (const Quantity quantity : options.quantities) {
        if ((code = Exchange(context, false, quantity, 0, record)) != kExitOk) {
            break;
        }
    }
    return code == kExitOk ? Emit(context, record) : code;
}

int RunSet(const CtlOptions& options, CtlContext& context) {
    Record record = NewRecord("set");
    int code = kExitOk;
    for (const SetRequest& request : options.settings) {
        if ((code = Exchange(context, true, request.quantity, request.value, record)) != kExitOk) {
            break;
        }
    }
    // What was confirmed before a failure is still worth telling.
    if (record.channel || record.power || record.output) {
        const int written = Emit(context, record);
        code = code == kExitOk ? written : code;
    }
    return code;
}

bool StopRequested(CtlContext& context) {
    return context.stop != nullptr && context.stop->Count() > 0;
}

// Runs the steps; `done` counts the records written.
int Sweep(const CtlOptions& options, CtlContext& context, ProgressBar& progress, int& done) {
    Record ignored;
    if (options.sweepPower) {
        if (const int code = Exchange(context, true, Quantity::Power, options.power, ignored);
            code != kExitOk) {
            return code;
        }
    }
    const int steps = static_cast<int>(options.channels.size()) * options.repeat;
    int step = 0;
    for (int pass = 1; pass <= options.repeat; ++pass) {
        for (const int channel : options.channels) {
            if (StopRequested(context)) {
                return kExitInterrupted;
            }
            ++step;
            Record record = NewRecord("sweep");
            record.step = step;
            record.steps = steps;
            record.pass = pass;
            if (const int code = Exchange(context, true, Quantity::Channel, channel, record);
                code != kExitOk) {
                return code;
            }
            StopSignal none;  // nothing to stop the dwell with
            (context.stop != nullptr ? *context.stop : none).WaitFor(options.dwellS * 1000.0);
            if (const int code = ReadAll(context, record); code != kExitOk) {
                return code;
            }
            progress.Clear();
            if (const int code = Emit(context, record); code != kExitOk) {
                return code;
            }
            done = step;
            progress.Update(step);
        }
    }
    return StopRequested(context) ? kExitInterrupted : kExitOk;
}

int RunSweep(const CtlOptions& options, CtlContext& context) {
    if (context.stop != nullptr) {
        context.stop->SetAbortLevel(2);  // the first Ctrl-C lets the current step finish
    }
    ProgressBar progress(static_cast<int>(options.channels.size()) * options.repeat, true);
    progress.Update(0);
    int done = 0;
    int code = Sweep(options, context, progress, done);
    progress.Clear();
    if (code == kExitInterrupted) {
        Tell(context, "sweep stopped after " + std::to_string(done) + " of " +
                          std::to_string(options.channels.size() * options.repeat) +
                          " steps; every step's record is written");
    }
    if (options.offAtEnd) {
        // However the sweep ended, and whatever the user presses meanwhile (the wait is
        // bounded by the timeout).
        if (context.stop != nullptr) {
            context.stop->SetAbortLevel(INT_MAX);
        }
        Record ignored;
        const int off = Exchange(context, true, Quantity::Output, 0, ignored);
        code = code == kExitOk ? off : code;
    }
    return code;
}

int RunMonitor(const CtlOptions& options, CtlContext& context) {
    std::optional<Record> last;
    for (;;) {
        Record record = NewRecord("monitor");
        const int code = ReadAll(context, record);
        if (code == kExitInterrupted) {
            return kExitOk;  // the way a monitor ends
        }
        if (code != kExitOk) {
            return code;
        }
        if (!last || last->channel != record.channel || last->power != record.power ||
            last->output != record.output) {
            if (const int written = Emit(context, record); written != kExitOk) {
                return written;
            }
            last = record;
        }
        StopSignal none;
        StopSignal& stop = context.stop != nullptr ? *context.stop : none;
        if (stop.WaitFor(options.intervalS * 1000.0)) {
            return kExitOk;
        }
    }
}

}  // namespace

int RunModuleCommand(const CtlOptions& options, CtlContext& context) {
    switch (options.command) {
        case CtlCommand::Get:
        case CtlCommand::Set: {
            const int code = options.command == CtlCommand::Get ? RunGet(options, context)
                                                                : RunSet(options, context);
            if (code == kExitInterrupted) {
                Tell(context, "interrupted");
            }
            return code;
        }
        case CtlCommand::Sweep:
            return RunSweep(options, context);
        case CtlCommand::Monitor:
            return RunMonitor(options, context);
        case CtlCommand::Ports:
        case CtlCommand::Panels:
        case CtlCommand::None:
            break;
    }
    return kExitUsage;
}
