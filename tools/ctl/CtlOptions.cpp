#include "CtlOptions.h"
#include "PortArgument.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "ChannelList.h"
#include "NumberText.h"

namespace {

constexpr double kMaxSeconds = 86400;  // a day: a longer dwell or interval is a typo
constexpr int kTimeoutMax = 600'000;   // ten minutes for one exchange
constexpr int kReplyWaitMax = 60'000;
constexpr int kTriesMax = 1000;
constexpr int kRepeatMax = 1'000'000;

struct CommandName {
    const char* name;
    CtlCommand command;
};
constexpr CommandName kCommands[] = {
    {"ports", CtlCommand::Ports}, {"panels", CtlCommand::Panels}, {"get", CtlCommand::Get},
    {"set", CtlCommand::Set},     {"sweep", CtlCommand::Sweep},   {"monitor", CtlCommand::Monitor}};

std::optional<CtlCommand> CommandNamed(const std::string& word) {
    for (const CommandName& row : kCommands) {
        if (word == row.name) {
            return row.command;
        }
    }
    return std::nullopt;
}

// A channel or power as a script gives it: the whole word one number, in range unless clamped.
std::string ReadValueText(Quantity quantity, const std::string& text, bool clamp, int& value) {
    const QuantityInfo& info = InfoOf(quantity);
    const std::optional<std::int64_t> read =
        ReadQuantityText(quantity, text, NumberGrammar::Strict);
    if (!read) {
        return quantity == Quantity::Power
                   ? "power \"" + text + "\" is not a number of dBm, such as 8.2"
                   : std::string(info.name) + " \"" + text + "\" is not a whole number";
    }
    if (!clamp && (*read < info.minimum || *read > info.maximum)) {
        return std::string(info.name) + " " + text + (quantity == Quantity::Power ? " dBm" : "") +
               " is outside " + RangeText(quantity) + " (--clamp sends the nearest " + info.name +
               ")";
    }
    value = static_cast<int>(std::clamp<std::int64_t>(*read, info.minimum, info.maximum));
    return {};
}

const char* NameOf(CtlCommand command) {
    for (const CommandName& row : kCommands) {
        if (row.command == command) {
            return row.name;
        }
    }
    return "";
}

std::string ParseGet(const std::vector<std::string>& words, CtlOptions& options) {
    for (const std::string& word : words) {
        const std::optional<Quantity> quantity = QuantityNamed(word);
        if (!quantity) {
            return "get reads channel, power or output, not \"" + word + "\"";
        }
        options.quantities.push_back(*quantity);
    }
    return {};
}

std::string ParseSet(const std::vector<std::string>& words, CtlOptions& options) {
    if (words.empty()) {
        return "set wants what to set: channel N, power DBM or output on|off";
    }
    for (std::size_t i = 0; i < words.size(); i += 2) {
        const std::string& what = words[i];
        const std::optional<Quantity> quantity = QuantityNamed(what);
        if (!quantity) {
            return "set takes channel, power or output, not \"" + what + "\"";
        }
        if (i + 1 == words.size()) {
            return "set " + what + " wants a value";
        }
        const std::string& text = words[i + 1];
        SetRequest request{*quantity, 0};
        std::string error;
        if (*quantity != Quantity::Output) {
            error = ReadValueText(*quantity, text, options.clamp, request.value);
        } else if (text == "on" || text == "off") {
            request.value = text == "on" ? 1 : 0;
        } else {
            error = "output is on or off, not \"" + text + "\"";
        }
        if (!error.empty()) {
            return error;
        }
        options.settings.push_back(request);
    }
    return {};
}

int Group(CtlCommand command) {
    return static_cast<int>(command);
}

}  // namespace

std::vector<cmdline::Option> SessionOptions(int& timeoutMs, int& replyWaitMs, int& tries,
                                            bool& direct) {
    using cmdline::Whole;
    const std::string timeouts = "10-" + std::to_string(kTimeoutMax);
    const std::string waits = "10-" + std::to_string(kReplyWaitMax);
    const std::string triesRange = "1-" + std::to_string(kTriesMax);
    return {
        {.name = "--timeout",
         .value = "MS",
         .help = "give up on one exchange after MS ms (" + timeouts + ", default 3000)",
         .read = Whole(timeoutMs, 10, kTimeoutMax, "milliseconds")},
        {.name = "--reply-wait",
         .value = "MS",
         .help =
             "send the frame again after MS ms without a valid reply (" + waits + ", default 250)",
         .read = Whole(replyWaitMs, 10, kReplyWaitMax, "milliseconds")},
        {.name = "--tries",
         .value = "N",
         .help = "send each frame at most N times (" + triesRange +
                 "; default: as often as the timeout allows)",
         .read = Whole(tries, 1, kTriesMax, "a number")},
        {.name = "--direct",
         .help = "only the port itself, never through a running panel",
         .flag = &direct},
    };
}

std::vector<cmdline::Option> CtlOptionTable(CtlOptions& options) {
    std::vector<cmdline::Option> table = {
        {.name = "--json",
         .help = "records as JSON Lines (one object per line, ISO-8601 time) on stdout",
         .flag = &options.json},
        {.name = "--csv",
         .value = "FILE",
         .help = "also write the records to FILE as CSV with a header, flushed per record",
         .read = cmdline::Text(options.csvPath, "a file name")},
    };
    for (cmdline::Option& row :
         SessionOptions(options.timeoutMs, options.replyWaitMs, options.tries, options.direct)) {
        table.push_back(std::move(row));
    }
    const std::string powers = RangeText(Quantity::Power);
    std::vector<cmdline::Option> rest = {
        {.name = "--help",
         .help = "this text; `varnel-ctl COMMAND --help` for a command",
         .flag = &options.help,
         .alias = "-h"},
        {.name = "--version", .help = "the version", .flag = &options.version},
        {.name = "--all",
         .help = "also list COM numbers whose device is not there",
         .flag = &options.all,
         .group = Group(CtlCommand::Ports)},
        {.name = "--fresh",
         .help = "through a running panel: the panel queries the module first",
         .flag = &options.fresh,
         .group = Group(CtlCommand::Get)},
        {.name = "--clamp",
         .help = "send the nearest value in range for one outside it, as the panel clamps",
         .flag = &options.clamp,
         .group = Group(CtlCommand::Set)},
        {.name = "--dwell",
         .value = "S",
         .help = "seconds on each channel (0-86400, such as 0.5); required",
         .read = cmdline::Decimal(options.dwellS, 3, 0, kMaxSeconds, "seconds", "0.5"),
         .group = Group(CtlCommand::Sweep)},
        {.name = "--power",
         .value = "DBM",
         .help = "set the power once before the first step (" + powers + ")",
         .read = [&options, powers](const std::string& text) -> std::string {
             const QuantityInfo& info = InfoOf(Quantity::Power);
             const std::optional<std::int64_t> power =
                 ReadQuantityText(Quantity::Power, text, NumberGrammar::Strict);
             if (!power || *power < info.minimum || *power > info.maximum) {
                 return "a power in " + powers + ", such as 8.2";
             }
             options.power = static_cast<int>(*power);
             options.sweepPower = true;
             return {};
         },
         .group = Group(CtlCommand::Sweep)},
        {.name = "--repeat",
         .value = "N",
         .help = "passes over the list (1-" + std::to_string(kRepeatMax) + ", default 1)",
         .read = cmdline::Whole(options.repeat, 1, kRepeatMax, "a number of passes"),
         .group = Group(CtlCommand::Sweep)},
        {.name = "--output",
         .value = "off-at-end",
         .help = "switch the laser off when the sweep ends, however it ends",
         .read = [&options](const std::string& text) -> std::string {
             options.offAtEnd = text == "off-at-end";
             return options.offAtEnd ? "" : "off-at-end";
         },
         .group = Group(CtlCommand::Sweep)},
        {.name = "--interval",
         .value = "S",
         .help = "seconds between polls (0.01-86400, default 1)",
         .read = cmdline::Decimal(options.intervalS, 3, 0.01, kMaxSeconds, "seconds"),
         .group = Group(CtlCommand::Monitor)},
    };
    std::move(rest.begin(), rest.end(), std::back_inserter(table));
    return table;
}

std::string ParseCtlOptions(const std::vector<std::string>& args, CtlOptions& options) {
    options = {};
    const std::vector<cmdline::Option> table = CtlOptionTable(options);
    cmdline::Scanned scanned;
    if (std::string error = cmdline::Scan(args, table, "; see varnel-ctl --help", scanned);
        !error.empty()) {
        return error;
    }
    const std::vector<std::string>& words = scanned.words;
    const auto given = [&scanned](const bool* flag) {
        return std::any_of(scanned.options.begin(), scanned.options.end(),
                           [flag](const cmdline::Given& one) { return one.option->flag == flag; });
    };
    options.help = given(&options.help);
    options.version = given(&options.version);

    if (options.help) {
        // The help of the first command named, wherever it stands; else the program's.
        for (const std::string& word : words) {
            if (const std::optional<CtlCommand> command = CommandNamed(word)) {
                options.command = *command;
                break;
            }
        }
        return {};
    }

    // "ports" or "PORT command ...".
    std::size_t next = 0;
    if (!words.empty()) {
        if (const std::optional<CtlCommand> command = CommandNamed(words[0])) {
            options.command = *command;
            next = 1;
            if (*command != CtlCommand::Ports && *command != CtlCommand::Panels) {
                return "give the port first: varnel-ctl PORT " + words[0] + " ...";
            }
        } else {
            if (std::string error = ParsePortTarget(words[0], options.port); !error.empty()) {
                return error;
            }
            if (words.size() < 2) {
                return "what should varnel-ctl do with " + options.port.label +
                       "? Give get, set, sweep or monitor";
            }
            const std::optional<CtlCommand> named = CommandNamed(words[1]);
            if (!named || *named == CtlCommand::Ports || *named == CtlCommand::Panels) {
                return "unknown command \"" + words[1] + "\"; the commands are get, set, " +
                       "sweep, monitor and ports";
            }
            options.command = *named;
            next = 2;
        }
    }
    if (options.version) {
        return {};
    }
    if (options.command == CtlCommand::None) {
        return "give a command: varnel-ctl ports, or varnel-ctl PORT get|set|sweep|monitor";
    }

    bool dwellGiven = false;
    for (const cmdline::Given& option : scanned.options) {
        const auto owner = static_cast<CtlCommand>(option.option->group);
        if (owner != CtlCommand::None && owner != options.command) {
            return option.option->name + " is an option of " + NameOf(owner) + ", not of " +
                   NameOf(options.command);
        }
        if (std::string error = cmdline::Take(option); !error.empty()) {
            return error;
        }
        dwellGiven = dwellGiven || option.option->name == "--dwell";
    }

    const std::vector<std::string> rest(words.begin() + static_cast<long>(next), words.end());
    switch (options.command) {
        case CtlCommand::Ports:
        case CtlCommand::Panels:
        case CtlCommand::Monitor:
            if (!rest.empty()) {
                return std::string(NameOf(options.command)) + " takes no argument \"" + rest[0] +
                       "\"";
            }
            return {};
        case CtlCommand::Get:
            return ParseGet(rest, options);
        case CtlCommand::Set:
            return ParseSet(rest, options);
        case CtlCommand::Sweep:
            break;
        case CtlCommand::None:
            return {};
    }
    if (rest.size() != 1) {
        return "sweep wants one channel list, such as " + SweepExamples();
    }
    if (std::string error = ParseChannelList(rest[0], options.channels); !error.empty()) {
        return error;
    }
    if (!dwellGiven) {
        return "sweep wants --dwell SECONDS, the time on each channel";
    }
    if (const long long steps = static_cast<long long>(options.channels.size()) * options.repeat;
        steps > kMaxSweepSteps) {
        return "a sweep has at most " + std::to_string(kMaxSweepSteps) +
               " steps (channels times --repeat), not " + std::to_string(steps);
    }
    return {};
}
