#include "ServeOptions.h"

#include <charconv>
#include <optional>

namespace {

std::optional<int> ReadNumber(std::string_view text, int minimum, int maximum) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < minimum ||
        value > maximum) {
        return std::nullopt;
    }
    return value;
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

std::string ParseServeOptions(const std::vector<std::string>& args, ServeOptions& options) {
    options = {};
    std::vector<std::string> words;
    bool allowGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (name.rfind("--", 0) != 0 && name != "-h") {
            words.push_back(name);
            continue;
        }
        std::string value;
        const std::size_t equals = name.find('=');
        const bool takesValue = name.rfind("--listen", 0) == 0 || name.rfind("--allow", 0) == 0 ||
                                name.rfind("--max-clients", 0) == 0 ||
                                name.rfind("--idle-timeout", 0) == 0 ||
                                name.rfind("--timeout", 0) == 0 || name.rfind("--tries", 0) == 0 ||
                                name.rfind("--reply-wait", 0) == 0;
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        } else if (takesValue) {
            if (i + 1 == args.size()) {
                return name + " wants a value";
            }
            value = args[++i];
        }
        if (name == "-h" || name == "--help") {
            options.help = true;
        } else if (name == "--listen") {
            if (std::string error =
                    net::ParseEndpoint(value, options.listenAddress, options.listenPort);
                !error.empty()) {
                return "--listen " + error;
            }
        } else if (name == "--allow") {
            if (std::string error = net::ParseAddressRanges(value, options.allow); !error.empty()) {
                return "--allow: " + error;
            }
            allowGiven = true;
        } else if (name == "--read-only") {
            options.readOnly = true;
        } else if (name == "--direct") {
            options.direct = true;
        } else if (name == "--announce") {
            options.announce = true;
        } else if (name == "--max-clients") {
            const std::optional<int> n = ReadNumber(value, 1, 64);
            if (!n) {
                return "--max-clients wants a number from 1 to 64";
            }
            options.maxClients = *n;
        } else if (name == "--idle-timeout") {
            const std::optional<int> s = ReadNumber(value, 0, 86400);
            if (!s) {
                return "--idle-timeout wants seconds from 0 (never) to 86400";
            }
            options.idleTimeoutS = *s;
        } else if (name == "--timeout") {
            const std::optional<int> ms = ReadNumber(value, 10, 60000);
            if (!ms) {
                return "--timeout wants milliseconds from 10 to 60000";
            }
            options.timing.budgetMs = *ms;
        } else if (name == "--reply-wait") {
            const std::optional<int> ms = ReadNumber(value, 10, 60000);
            if (!ms) {
                return "--reply-wait wants milliseconds from 10 to 60000";
            }
            options.timing.replyWaitMs = *ms;
        } else if (name == "--tries") {
            const std::optional<int> n = ReadNumber(value, 1, 1000);
            if (!n) {
                return "--tries wants a number from 1 to 1000";
            }
            options.timing.tries = *n;
        } else {
            return "unknown option " + name + " of serve; see varnel-ctl serve --help";
        }
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
    if (!allowGiven) {
        if (!net::IsLoopback(options.listenAddress)) {
            return "listening on " + net::AddressText(options.listenAddress) +
                   " opens the laser to the network: name who may connect with --allow "
                   "(such as --allow 10.0.0.0/24), or keep the loopback default and reach it "
                   "through an SSH tunnel";
        }
        options.allow = net::LoopbackRanges();
    }
    return {};
}

std::string ServeHelpText() {
    return R"(Usage: varnel-ctl serve PORT [--listen ADDR:TCP] [--allow CIDR[,CIDR...]] [--read-only]
                          [--max-clients N] [--idle-timeout S] [--announce] [--direct]
                          [--timeout MS] [--reply-wait MS] [--tries N]

Serves the module on PORT as an SCPI instrument on a raw TCP socket (one command per
line, answers ended by LF), for PyVISA, lxi-tools and test-station code. PORT is held
directly, or through the running panel that holds it, as the other commands choose; every
setting waits for the module's reply and every query asks the module.

  --listen ADDR:TCP     where to listen (default 127.0.0.1:5025; port 0 picks a free one)
  --allow CIDR,...      who may connect, such as 10.0.0.0/24,192.168.1.7; required for any
                        address beyond loopback; others are reset without a byte
  --read-only           queries only: every setting and *RST gives error -203
  --max-clients N       connections at once (1-64, default 4); one more is refused at once
  --idle-timeout S      close a client silent for S seconds (default 0: never)
  --announce            publish it as _scpi-raw._tcp through Avahi, for instrument
                        discovery; never while listening on loopback
  --direct, --timeout, --reply-wait, --tries   as for the other commands

Every setting is logged on standard error with the time, the client's address and the
command. SIGINT or SIGTERM closes every client, releases the port and exits 0.

Commands: *IDN? *RST *CLS *ESE *ESR? *OPC *SRE *STB? *TST? *WAI, SYSTem:ERRor[:NEXT]?,
SYSTem:ERRor:COUNt?, SYSTem:VERSion?, STATus:OPERation?, STATus:QUEStionable?,
STATus:PRESet, [SOURce]:CHANnel <1..89>|MIN|MAX|UP|DOWN, [SOURce]:CHANnel:ITU?,
[SOURce]:FREQuency <Hz>[HZ|GHZ|THZ], [SOURce]:WAVelength <m>[M|NM|PM],
[SOURce]:POWer[:LEVel][:IMMediate][:AMPLitude] <dBm>[DBM|MW|W], OUTPut[:STATe] ON|OFF.
)";
}
