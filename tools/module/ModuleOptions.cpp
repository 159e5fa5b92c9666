#include "ModuleOptions.h"

#include "NumberText.h"
#include "PortNames.h"
#include "ReadoutText.h"

namespace {

constexpr std::int64_t kMaxDelayMs = 3'600'000;
constexpr std::int64_t kMaxStreamRate = 1'000'000'000;

std::string ReadOnOff(const std::string& text, bool& into) {
    if (text != "on" && text != "off") {
        return "on or off";
    }
    into = text == "on";
    return {};
}

}  // namespace

std::vector<cmdline::Option> ModuleOptionTable(ModuleOptions& options) {
    using cmdline::Option;
    ModuleConfig& module = options.module;
    const auto fraction = [](double& into) {
        return cmdline::Decimal(into, 6, 0, 1, "a fraction", "0.1");
    };
    const auto millis = [](std::int64_t& into) {
        return cmdline::Scaled(into, 0, 0, kMaxDelayMs, "milliseconds", "250");
    };
    const std::string hundredths = std::to_string(kPowerMin) + "-" + std::to_string(kPowerMax);
    return {
        {.name = "--com",
         .value = "N",
         .help = "publish as COM N (1-" + std::to_string(kMaxComPort) +
                 "); default: the lowest number that names no existing device. An entry it did "
                 "not create is never replaced (exit code 2).",
         .read = cmdline::Whole(options.com, 1, kMaxComPort, "a port number"),
         .heading = "Port:"},
        {.help = "The entries live in $VARNEL_PORTS, else $XDG_RUNTIME_DIR/varnel/ports, else "
                 "/tmp/varnel-<uid>/ports."},
        {.name = "--channel",
         .value = "N",
         .help = "start channel, " + RangeText(Quantity::Channel) + " (default " +
                 std::to_string(kChannelMin) + ")",
         .read = cmdline::Whole(module.channel, kChannelMin, kChannelMax, "a channel"),
         .heading = "Module state:"},
        {.name = "--power",
         .value = "P",
         .help = "start power, " + RangeText(Quantity::Power) + " or " + hundredths +
                 " hundredths (default " + PowerText(kPowerMin) + ")",
         .read = [&module, hundredths](const std::string& text) -> std::string {
             // dBm and hundredths of a dBm have ranges that do not overlap: take either, each
             // read as the panel reads a typed power (8.205 is 820).
             const std::optional<std::int64_t> read =
                 ReadQuantityText(Quantity::Power, text, NumberGrammar::Strict);
             if (read && *read >= kPowerMin && *read <= kPowerMax) {
                 module.power = static_cast<int>(*read);
             } else if (read && *read % 100 == 0 && *read / 100 >= kPowerMin &&
                        *read / 100 <= kPowerMax) {
                 module.power = static_cast<int>(*read / 100);
             } else {
                 return RangeText(Quantity::Power) + " or " + hundredths + " (hundredths of a dBm)";
             }
             return {};
         }},
        {.name = "--output",
         .value = "on|off",
         .help = "start output state (default off)",
         .read = [&module](const std::string& text) { return ReadOnOff(text, module.output); }},
        {.help = "Set frames outside these ranges are clamped; each query and set is answered by "
                 "a reply carrying the (new) value. Malformed frames are ignored."},
        {.name = "--reply-delay",
         .value = "MS",
         .help = "wait MS milliseconds before each reply",
         .read = millis(module.replyDelayMs),
         .heading = "Timing and faults (all off by default):"},
        {.name = "--tune-delay",
         .value = "MS",
         .help = "a channel change takes effect, and is answered, MS later",
         .read = millis(module.tuneDelayMs)},
        {.name = "--drop",
         .value = "P",
         .help = "drop a fraction P (0-1) of the replies",
         .read = fraction(module.drop)},
        {.name = "--corrupt",
         .value = "P",
         .help = "send a fraction P of the replies with a wrong checksum",
         .read = fraction(module.corrupt)},
        {.name = "--noise",
         .value = "P",
         .help = "put 1-4 random bytes before a fraction P of the replies",
         .read = fraction(module.noise)},
        {.name = "--forge",
         .value = "P",
         .help = "send a fraction P of the replies with a value out of range (intact checksum), "
                 "as a stray byte or a broken module might",
         .read = fraction(module.forge)},
        {.name = "--silent", .help = "apply set frames but never answer", .flag = &module.silent},
        {.name = "--unplug-after",
         .value = "S",
         .help = "hang up and remove the port after S seconds, like a pulled adapter",
         .read = cmdline::Scaled(options.unplugAfterMs, 3, 0, 86'400'000, "seconds", "5 or 0.5")},
        {.name = "--seed",
         .value = "N",
         .help = "seed for --drop/--corrupt/--noise/--forge, to repeat a run",
         .read = [&options](const std::string& text) -> std::string {
             const std::optional<std::int64_t> seed =
                 ReadScaledDecimal(text, 0, NumberGrammar::Strict);
             if (!seed || *seed < 0 || *seed >= kTypedSaturation) {
                 return "a whole number, such as 42";
             }
             options.module.seed = static_cast<std::uint64_t>(*seed);
             options.seedGiven = true;
             return {};
         }},
        {.name = "--stream",
         .value = "RATE",
         .help = "also send replies of the current state (channel, power, output in turn) at "
                 "RATE bytes per second, or max",
         .read = [&options](const std::string& text) -> std::string {
             std::int64_t rate = 0;
             if (text == "max") {
                 options.streamRate = kStreamMax;
             } else if (cmdline::Scaled(rate, 0, 1, kMaxStreamRate, "")(text).empty()) {
                 options.streamRate = rate;
             } else {
                 return "bytes per second (such as 960) or max";
             }
             return {};
         },
         .heading = "Benchmarks:"},
        {.help = "On exit it reports on standard error: \"sent N frames, M bytes\" (N intact "
                 "replies)."},
        {.name = "--log",
         .help = "wire log on standard output, one line per frame: seconds since start, rx (from "
                 "panel) / tx (to panel) / -- (not sent), hex bytes, meaning",
         .flag = &options.log,
         .heading = "Output:"},
        {.name = "--help", .help = "this text", .flag = &options.help, .alias = "-h"},
    };
}

std::string ParseModuleOptions(const std::vector<std::string>& args, ModuleOptions& options) {
    std::vector<std::string> words;
    std::string error =
        cmdline::ScanAndTake(args, ModuleOptionTable(options), " (see --help)", words);
    if (error.empty() && !words.empty()) {
        error = "varnel-module takes options only, not \"" + words[0] + "\" (see --help)";
    }
    return error;
}

std::string ModuleHelpText() {
    ModuleOptions unused;
    return R"(Usage: varnel-module [options]

Plays the laser module on a pseudo-terminal and publishes it as a COM port, so the
panel can be tried, tested and demonstrated without hardware. The port stays listed
until the module ends (Ctrl-C, SIGTERM, end of standard input, or --unplug-after).
Once the port is ready it prints one line:  varnel-module: COM<n> -> <pty path>

)" + cmdline::HelpLines(ModuleOptionTable(unused), 22) +
           R"(
Exit codes: 0 normal end, 1 system failure, 2 COM port already taken,
64 bad command line.
)";
}
