#include "ServeOptions.h"
#include "PortArgument.h"

#include <charconv>
#include <optional>

#include "CtlOptions.h"
#include "ScpiCommands.h"

namespace {

constexpr std::uint32_t kLoopbackNetwork = 0x7F000000;  // 127.0.0.0/8
constexpr std::uint32_t kLoopbackMask = 0xFF000000;

std::optional<int> ReadNumber(std::string_view text, int minimum, int maximum) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < minimum ||
        value > maximum) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint32_t> ReadAddress(std::string_view text) {
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos || dot == 0 || dot > 3) {
            return std::nullopt;
        }
        const std::optional<int> byte = ReadNumber(text.substr(0, dot), 0, 255);
        if (!byte) {
            return std::nullopt;
        }
        address = (address << 8) | static_cast<std::uint32_t>(*byte);
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    return address;
}

}  // namespace

bool IsServeCommand(const std::vector<std::string>& args) {
    int words = 0;
    for (const std::string& arg : args) {
        if (arg.rfind('-', 0) == 0) {
            continue;
        }
        if (arg == "serve") {
            return true;
        }
        if (++words == 2) {
            return false;
        }
    }
    return false;
}

bool ParseAddressRanges(const std::string& text, std::vector<AddressRange>& ranges) {
    std::string_view rest(text);
    while (true) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        const std::size_t slash = item.find('/');
        const std::optional<std::uint32_t> address = ReadAddress(item.substr(0, slash));
        const std::optional<int> bits =
            slash == std::string_view::npos ? 32 : ReadNumber(item.substr(slash + 1), 0, 32);
        if (!address || !bits) {
            return false;
        }
        const std::uint32_t mask = *bits == 0 ? 0 : ~std::uint32_t{0} << (32 - *bits);
        ranges.push_back({*address & mask, mask});
        if (comma == std::string_view::npos) {
            return true;
        }
        rest.remove_prefix(comma + 1);
    }
}

bool IsAllowed(const ServeOptions& options, std::uint32_t address) {
    for (const AddressRange& range : options.allow) {
        if ((address & range.mask) == range.network) {
            return true;
        }
    }
    return false;
}

std::string AddressText(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

bool IsLoopback(std::uint32_t address) {
    return (address & kLoopbackMask) == kLoopbackNetwork;
}

bool ParseListenAddress(const std::string& text, ServeOptions& options) {
    const std::size_t colon = text.rfind(':');
    const std::optional<std::uint32_t> address = ReadAddress(text.substr(0, colon));
    const std::optional<int> port =
        colon == std::string::npos ? std::nullopt : ReadNumber(text.substr(colon + 1), 0, 65535);
    if (!address || !port) {
        return false;
    }
    options.listenAddress = *address;
    options.listenPort = *port;
    return true;
}

std::vector<cmdline::Option> ServeOptionTable(ServeOptions& options) {
    std::vector<cmdline::Option> table = {
        {.name = "--listen",
         .value = "ADDR:TCP",
         .help = "where to listen (default 127.0.0.1:5025; port 0 picks a free one)",
         .read = [&options](const std::string& text) -> std::string {
             return ParseListenAddress(text, options)
                        ? ""
                        : "ADDRESS:PORT with an IPv4 address, such as 127.0.0.1:5025";
         }},
        {.name = "--allow",
         .value = "CIDR,...",
         .help = "who may connect, such as 10.0.0.0/24,192.168.1.7; required for any address "
                 "beyond loopback; others are reset without a byte",
         .read = [&options](const std::string& text) -> std::string {
             return ParseAddressRanges(text, options.allow)
                        ? ""
                        : "address ranges such as 10.0.0.0/24,192.168.1.7";
         }},
        {.name = "--read-only",
         .help = "queries only: every setting and *RST gives error -203",
         .flag = &options.readOnly},
        {.name = "--max-clients",
         .value = "N",
         .help = "connections at once (1-64, default 4); one more is refused at once",
         .read = cmdline::Whole(options.maxClients, 1, 64, "a number")},
        {.name = "--idle-timeout",
         .value = "S",
         .help = "close a client silent for S seconds (0-86400, default 0: never)",
         .read = cmdline::Whole(options.idleTimeoutS, 0, 86400, "seconds")},
        {.name = "--announce",
         .help = "publish it as _scpi-raw._tcp through Avahi, for instrument discovery; never "
                 "while listening on loopback",
         .flag = &options.announce},
    };
    SessionTiming& timing = options.timing;
    for (cmdline::Option& row :
         SessionOptions(timing.budgetMs, timing.replyWaitMs, timing.tries, options.direct)) {
        table.push_back(std::move(row));
    }
    table.push_back({.name = "--help", .help = "this text", .flag = &options.help, .alias = "-h"});
    return table;
}

std::string ParseServeOptions(const std::vector<std::string>& args, ServeOptions& options) {
    options = {};
    std::vector<std::string> words;
    if (std::string error = cmdline::ScanAndTake(args, ServeOptionTable(options),
                                                 " of serve; see varnel-ctl serve --help", words);
        !error.empty()) {
        return error;
    }
    if (options.help) {
        return {};
    }
    std::string port;
    for (const std::string& word : words) {
        if (word != "serve" && port.empty()) {
            port = word;
        } else if (word != "serve") {
            return "serve takes one port, not also \"" + word + "\"";
        }
    }
    if (port.empty()) {
        return "serve wants the port: varnel-ctl serve PORT";
    }
    if (std::string error = ParsePortTarget(port, options.port); !error.empty()) {
        return error;
    }
    if (options.allow.empty()) {
        if (!IsLoopback(options.listenAddress)) {
            return "listening on " + AddressText(options.listenAddress) +
                   " opens the laser to the network: name who may connect with --allow "
                   "(such as --allow 10.0.0.0/24), or keep the loopback default and reach it "
                   "through an SSH tunnel";
        }
        options.allow.push_back({kLoopbackNetwork, kLoopbackMask});
    }
    return {};
}

namespace {

// What a setting form takes, as the help shows it.
std::string ParameterText(scpi::Param param) {
    switch (param) {
        case scpi::Param::None:
            return "";
        case scpi::Param::Byte:
            return " <0..255>";
        case scpi::Param::Channel:
            return " <" + std::to_string(kChannelMin) + ".." + std::to_string(kChannelMax) +
                   ">|MIN|MAX|UP|DOWN";
        case scpi::Param::Frequency:
            return " <Hz>[HZ|GHZ|THZ]|MIN|MAX";
        case scpi::Param::Wavelength:
            return " <m>[M|NM|PM]|MIN|MAX";
        case scpi::Param::Power:
            return " <dBm>[DBM|MW|W]|MIN|MAX";
        case scpi::Param::Boolean:
            return " ON|OFF|1|0";
    }
    return "";
}

}  // namespace

std::string ServeHelpText() {
    ServeOptions unused;
    const std::vector<cmdline::Option> table = ServeOptionTable(unused);
    std::string usage = "PORT";
    for (const cmdline::Option& row : table) {
        usage += " [" + row.name + (row.value.empty() ? "" : " " + row.value) + "]";
    }
    std::string commands;
    for (const scpi::CommandRow& row : scpi::CommandTable()) {
        commands += std::string(commands.empty() ? "" : ", ") + row.header +
                    (row.settable ? "" : "?") + (row.settable && row.query ? "[?]" : "") +
                    ParameterText(row.param);
    }
    return cmdline::Wrap(usage, 90, std::string(24, ' '))
               .replace(0, 24, "Usage: varnel-ctl serve ") +
           R"(
Serves the module on PORT as an SCPI instrument on a raw TCP socket (one command per
line, answers ended by LF), for PyVISA, lxi-tools and test-station code. PORT is held
directly, or through the running panel that holds it, as the other commands choose; every
setting waits for the module's reply and every query asks the module.

)" + cmdline::HelpLines(table, 24) +
           R"(
Every setting is logged on standard error with the time, the client's address and the
command. SIGINT or SIGTERM closes every client, releases the port and exits 0.

Commands (any case, long or short form, optional nodes in brackets; [?]: also a query):
)" + cmdline::Wrap(commands + ".", 90, "");
}
