#include "ModuleOptions.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>

#include "PortNames.h"
#include "ReadoutText.h"

namespace {

// Whole-string conversions: "12abc", "", "1e999" and the like are all refused.
bool ToDouble(const std::string& text, double& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && std::isfinite(value);
}

bool ToInteger(const std::string& text, long long low, long long high, long long& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= low && value <= high;
}

bool ToFraction(const std::string& text, double& value) {
    return ToDouble(text, value) && value >= 0.0 && value <= 1.0;
}

}  // namespace

std::string ParseModuleOptions(const std::vector<std::string>& args, ModuleOptions& options) {
    using Handler = std::function<std::string(const std::string&)>;
    ModuleConfig& module = options.module;
    auto fraction = [](const char* name, double& into) {
        return [name, &into](const std::string& v) -> std::string {
            return ToFraction(v, into)
                       ? ""
                       : std::string(name) + " wants a fraction from 0 to 1, such as 0.1";
        };
    };
    auto millis = [](const char* name, std::int64_t& into) {
        return [name, &into](const std::string& v) -> std::string {
            long long ms = 0;
            if (!ToInteger(v, 0, 3'600'000, ms)) {
                return std::string(name) + " wants milliseconds from 0 to 3600000, such as 250";
            }
            into = ms;
            return "";
        };
    };
    const struct {
        std::string_view name;
        Handler handler;  // null for flags
        bool* flag;
    } table[] = {
        {"--com",
         [&](const std::string& v) -> std::string {
             long long n = 0;
             if (!ToInteger(v, 1, kMaxComPort, n)) {
                 return "--com wants a port number from 1 to " + std::to_string(kMaxComPort);
             }
             options.com = static_cast<int>(n);
             return "";
         },
         nullptr},
        {"--channel",
         [&](const std::string& v) -> std::string {
             long long n = 0;
             if (!ToInteger(v, kChannelMin, kChannelMax, n)) {
                 return "--channel wants a channel in " + RangeText(Quantity::Channel);
             }
             module.channel = static_cast<int>(n);
             return "";
         },
         nullptr},
        {"--power",
         [&](const std::string& v) -> std::string {
             // dBm and hundredths of a dBm have ranges that do not overlap: take either.
             double x = 0;
             if (ToDouble(v, x) && x * 100 >= kPowerMin && x * 100 <= kPowerMax) {
                 module.power = static_cast<int>(std::lround(x * 100));
             } else if (ToDouble(v, x) && x >= kPowerMin && x <= kPowerMax && x == std::floor(x)) {
                 module.power = static_cast<int>(x);
             } else {
                 return "--power wants " + RangeText(Quantity::Power) + " or " +
                        std::to_string(kPowerMin) + "-" + std::to_string(kPowerMax) +
                        " (hundredths of a dBm)";
             }
             return "";
         },
         nullptr},
        {"--output",
         [&](const std::string& v) -> std::string {
             if (v != "on" && v != "off") {
                 return "--output wants on or off";
             }
             module.output = v == "on";
             return "";
         },
         nullptr},
        {"--reply-delay", millis("--reply-delay", module.replyDelayMs), nullptr},
        {"--tune-delay", millis("--tune-delay", module.tuneDelayMs), nullptr},
        {"--drop", fraction("--drop", module.drop), nullptr},
        {"--corrupt", fraction("--corrupt", module.corrupt), nullptr},
        {"--noise", fraction("--noise", module.noise), nullptr},
        {"--forge", fraction("--forge", module.forge), nullptr},
        {"--unplug-after",
         [&](const std::string& v) -> std::string {
             double s = 0;
             if (!ToDouble(v, s) || s < 0 || s > 86400) {
                 return "--unplug-after wants seconds from 0 to 86400, such as 5 or 0.5";
             }
             options.unplugAfterMs = std::llround(s * 1000);
             return "";
         },
         nullptr},
        {"--seed",
         [&](const std::string& v) -> std::string {
             char* end = nullptr;
             errno = 0;
             const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
             if (v.empty() || v[0] == '-' || errno != 0 || *end != '\0') {
                 return "--seed wants a whole number, such as 42";
             }
             module.seed = n;
             options.seedGiven = true;
             return "";
         },
         nullptr},
        {"--stream",
         [&](const std::string& v) -> std::string {
             long long rate = 0;
             if (v == "max") {
                 options.streamRate = kStreamMax;
             } else if (ToInteger(v, 1, 1'000'000'000, rate)) {
                 options.streamRate = rate;
             } else {
                 return "--stream wants bytes per second (such as 960) or max";
             }
             return "";
         },
         nullptr},
        {"--silent", nullptr, &module.silent},
        {"--log", nullptr, &options.log},
        {"--help", nullptr, &options.help},
        {"-h", nullptr, &options.help},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::size_t eq = arg.find('=');
        const std::string_view name = std::string_view(arg).substr(0, eq);
        const auto* option = std::find_if(std::begin(table), std::end(table),
                                          [&](const auto& row) { return row.name == name; });
        if (option == std::end(table)) {
            return "unknown option " + arg + " (see --help)";
        }
        if (option->flag != nullptr) {
            if (eq != std::string::npos) {
                return std::string(name) + " takes no value";
            }
            *option->flag = true;
            continue;
        }
        std::string value;
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return std::string(name) + " needs a value (see --help)";
        }
        if (std::string error = option->handler(value); !error.empty()) {
            return error + ", not \"" + value + "\"";
        }
    }
    return "";
}

std::string ModuleHelpText() {
    std::string text = R"(Usage: varnel-module [options]

Plays the laser module on a pseudo-terminal and publishes it as a COM port, so the
panel can be tried, tested and demonstrated without hardware. The port stays listed
until the module ends (Ctrl-C, SIGTERM, end of standard input, or --unplug-after).
Once the port is ready it prints one line:  varnel-module: COM<n> -> <pty path>

Port:
  --com N             publish as COM N (1-254); default: the lowest number that
                      names no existing device. An entry it did not create is
                      never replaced (exit code 2).
  The entries live in $VARNEL_PORTS, else $XDG_RUNTIME_DIR/varnel/ports,
  else /tmp/varnel-<uid>/ports.

Module state:
  --channel N         start channel, CHANNELS (default MINCHANNEL)
  --power P           start power, POWERS or HUNDREDTHS hundredths (default MINPOWER)
  --output on|off     start output state (default off)
  Set frames outside these ranges are clamped; each query and set is answered by a
  reply carrying the (new) value. Malformed frames are ignored.

Timing and faults (all off by default):
  --reply-delay MS    wait MS milliseconds before each reply
  --tune-delay MS     a channel change takes effect, and is answered, MS later
  --drop P            drop a fraction P (0-1) of the replies
  --corrupt P         send a fraction P of the replies with a wrong checksum
  --noise P           put 1-4 random bytes before a fraction P of the replies
  --forge P           send a fraction P of the replies with a value out of range
                      (intact checksum), as a stray byte or a broken module might
  --silent            apply set frames but never answer
  --unplug-after S    hang up and remove the port after S seconds, like a pulled adapter
  --seed N            seed for --drop/--corrupt/--noise/--forge, to repeat a run

Benchmarks:
  --stream RATE       also send replies of the current state (channel, power,
                      output in turn) at RATE bytes per second, or max
  On exit it reports on standard error: "sent N frames, M bytes" (N intact replies).

Output:
  --log               wire log on standard output, one line per frame:
                      seconds since start, rx (from panel) / tx (to panel) /
                      -- (not sent), hex bytes, meaning
  -h, --help          this text

Exit codes: 0 normal end, 1 system failure, 2 COM port already taken,
64 bad command line.
)";
    // The ranges come from the protocol's table, so the help cannot disagree with the module.
    const std::pair<const char*, std::string> facts[] = {
        {"MINCHANNEL", std::to_string(kChannelMin)},
        {"CHANNELS", RangeText(Quantity::Channel)},
        {"MINPOWER", PowerText(kPowerMin)},
        {"POWERS", RangeText(Quantity::Power)},
        {"HUNDREDTHS", std::to_string(kPowerMin) + "-" + std::to_string(kPowerMax)},
    };
    for (const auto& [name, fact] : facts) {
        text.replace(text.find(name), std::strlen(name), fact);
    }
    return text;
}
