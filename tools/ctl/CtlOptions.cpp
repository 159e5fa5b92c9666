#include "CtlOptions.h"
#include "PortArgument.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "ChannelList.h"
#include "NumberText.h"

namespace {

constexpr double kMaxSeconds = 86400;  // a day: a longer dwell or interval is a typo

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

bool ReadInt(const std::string& text, int minimum, int maximum, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= minimum &&
           value <= maximum;
}

// Seconds with millisecond resolution, in the scripts' number grammar.
bool ReadSeconds(const std::string& text, double minimum, double& value) {
    const std::optional<std::int64_t> ms = ReadScaledDecimal(text, 3, NumberGrammar::Strict);
    value = ms ? static_cast<double>(*ms) / 1000.0 : 0;
    return ms && value >= minimum && value <= kMaxSeconds;
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

// The options that take a value.
bool TakesValue(const std::string& name) {
    return name == "--csv" || name == "--timeout" || name == "--reply-wait" || name == "--tries" ||
           name == "--dwell" || name == "--power" || name == "--repeat" || name == "--output" ||
           name == "--interval";
}

// Which command an option belongs to (None: every command).
CtlCommand OptionCommand(const std::string& name) {
    if (name == "--all") {
        return CtlCommand::Ports;
    }
    if (name == "--clamp") {
        return CtlCommand::Set;
    }
    if (name == "--fresh") {
        return CtlCommand::Get;
    }
    if (name == "--dwell" || name == "--power" || name == "--repeat" || name == "--output") {
        return CtlCommand::Sweep;
    }
    if (name == "--interval") {
        return CtlCommand::Monitor;
    }
    return CtlCommand::None;
}

const char* NameOf(CtlCommand command) {
    for (const CommandName& row : kCommands) {
        if (row.command == command) {
            return row.name;
        }
    }
    return "";
}

struct Option {
    std::string name;
    std::string value;
};

std::string ApplyOption(const Option& option, CtlOptions& options, std::string& powerText,
                        bool& dwellGiven) {
    const std::string& name = option.name;
    const std::string& value = option.value;
    if (name == "--json") {
        options.json = true;
    } else if (name == "--csv") {
        if (value.empty()) {
            return "--csv wants a file name";
        }
        options.csvPath = value;
    } else if (name == "--timeout") {
        if (!ReadInt(value, 10, 600000, options.timeoutMs)) {
            return "--timeout wants milliseconds from 10 to 600000";
        }
    } else if (name == "--reply-wait") {
        if (!ReadInt(value, 10, 60000, options.replyWaitMs)) {
            return "--reply-wait wants milliseconds from 10 to 60000";
        }
    } else if (name == "--tries") {
        if (!ReadInt(value, 1, 1000, options.tries)) {
            return "--tries wants a number from 1 to 1000";
        }
    } else if (name == "--all") {
        options.all = true;
    } else if (name == "--clamp") {
        options.clamp = true;
    } else if (name == "--direct") {
        options.direct = true;
    } else if (name == "--fresh") {
        options.fresh = true;
    } else if (name == "--dwell") {
        if (!ReadSeconds(value, 0, options.dwellS)) {
            return "--dwell wants seconds from 0 to 86400, such as 0.5";
        }
        dwellGiven = true;
    } else if (name == "--power") {
        powerText = value;
        options.sweepPower = true;
    } else if (name == "--repeat") {
        if (!ReadInt(value, 1, 1000000, options.repeat)) {
            return "--repeat wants a number of passes from 1 to 1000000";
        }
    } else if (name == "--output") {
        if (value != "off-at-end") {
            return "--output takes one value, off-at-end";
        }
        options.offAtEnd = true;
    } else if (name == "--interval") {
        if (!ReadSeconds(value, 0.01, options.intervalS)) {
            return "--interval wants seconds from 0.01 to 86400";
        }
    } else {
        return "unknown option " + name + "; see varnel-ctl --help";
    }
    return {};
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

}  // namespace

std::string ParseCtlOptions(const std::vector<std::string>& args, CtlOptions& options) {
    options = {};
    std::vector<Option> given;
    std::vector<std::string> words;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-h")) {
            words.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else {
            const std::size_t equals = arg.find('=');
            Option option{arg.substr(0, equals), ""};
            if (equals != std::string::npos) {
                option.value = arg.substr(equals + 1);
            } else if (TakesValue(option.name)) {
                if (i + 1 == args.size()) {
                    return option.name + " wants a value";
                }
                option.value = args[++i];
            }
            if (equals != std::string::npos && !TakesValue(option.name)) {
                return option.name + " takes no value";
            }
            given.push_back(option);
        }
    }

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

    std::string powerText;
    bool dwellGiven = false;
    for (const Option& option : given) {
        const CtlCommand owner = OptionCommand(option.name);
        if (owner != CtlCommand::None && owner != options.command) {
            return option.name + " is an option of " + NameOf(owner) + ", not of " +
                   NameOf(options.command);
        }
        if (std::string error = ApplyOption(option, options, powerText, dwellGiven);
            !error.empty()) {
            return error;
        }
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
    return options.sweepPower ? ReadValueText(Quantity::Power, powerText, false, options.power)
                              : std::string();
}
