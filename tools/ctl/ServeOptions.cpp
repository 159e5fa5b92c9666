#include "ServeOptions.h"

#include <memory>

#include "CtlOptions.h"
#include "PortArgument.h"
#include "ScpiCommands.h"

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

namespace {

// The address options' readers: their problems are whole sentences ("10.0.0.1/8 has host bits
// set: did you mean 10.0.0.0/8?"), so they are kept in `problem` and said as they stand rather
// than as "--allow wants ...".
std::vector<cmdline::Option> ServeTable(ServeOptions& options,
                                        const std::shared_ptr<std::string>& problem) {
    auto keep = [problem](const std::string& prefix, std::string error) -> std::string {
        if (!error.empty() && problem->empty()) {
            *problem = prefix + error;
        }
        return {};
    };
    std::vector<cmdline::Option> table = {
        {.name = "--listen",
         .value = "ADDR:TCP",
         .help = "where to listen (default 127.0.0.1:5025; IPv6 in brackets, such as [::1]:5025, "
                 "and [::] takes IPv4 too; port 0 picks a free one)",
         .read = [&options, keep](const std::string& text) -> std::string {
             return keep("--listen ",
                         net::ParseEndpoint(text, options.listenAddress, options.listenPort));
         }},
        {.name = "--allow",
         .value = "CIDR,...",
         .help = "who may connect, such as 10.0.0.0/24,192.168.1.7,fd00::/8; required for any "
                 "address beyond loopback; others are reset without a byte",
         .read = [&options, keep](const std::string& text) -> std::string {
             return keep("--allow: ", net::ParseAddressRanges(text, options.allow));
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
         .help = "publish it as _scpi-raw._tcp, _vxi-11._tcp, _lxi._tcp and _http._tcp through "
                 "Avahi, for instrument discovery; never while listening on loopback",
         .flag = &options.announce},
        {.name = "--vxi11-port",
         .value = "TCP",
         .help = "the VXI-11 core channel's port (default 0: any free one; clients find it "
                 "through the portmapper on port 111)",
         .read = cmdline::Whole(options.vxi11Port, 0, 65535, "a port")},
        {.name = "--http",
         .value = "TCP|off",
         .help = "the web page's port (default 80, the LXI port; 0: any free one; off: no web "
                 "page); port 80 needs root or CAP_NET_BIND_SERVICE",
         .read = [&options](const std::string& text) -> std::string {
             if (text == "off") {
                 options.httpPort = -1;
                 return {};
             }
             const std::string error = cmdline::Whole(options.httpPort, 0, 65535, "a port")(text);
             return error.empty() ? error : error + " (or off: no web page)";
         }},
        {.name = "--no-vxi11",
         .help = "no VXI-11 instrument (TCPIP::host::INSTR), the raw socket only",
         .flag = &options.noVxi11},
    };
    SessionTiming& timing = options.timing;
    for (cmdline::Option& row :
         SessionOptions(timing.budgetMs, timing.replyWaitMs, timing.tries, options.direct)) {
        table.push_back(std::move(row));
    }
    table.push_back({.name = "--help", .help = "this text", .flag = &options.help, .alias = "-h"});
    return table;
}

}  // namespace

std::vector<cmdline::Option> ServeOptionTable(ServeOptions& options) {
    return ServeTable(options, std::make_shared<std::string>());
}

std::string ParseServeOptions(const std::vector<std::string>& args, ServeOptions& options) {
    options = {};
    std::vector<std::string> words;
    const auto problem = std::make_shared<std::string>();
    if (std::string error = cmdline::ScanAndTake(args, ServeTable(options, problem),
                                                 " of serve; see varnel-ctl serve --help", words);
        !error.empty()) {
        return error;
    }
    if (!problem->empty()) {
        return *problem;
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
line, answers ended by LF) and over VXI-11, for PyVISA, lxi-tools and test-station code,
with a web page (its state, its VISA addresses and, unless --read-only, its settings) and
the LXI identification document at /lxi/identification. PORT is held directly, or through
the running panel that holds it, as the other commands choose; every setting waits for the
module's reply and every query asks the module.

)" + cmdline::HelpLines(table, 24) +
           R"(
Every setting is logged on standard error with the time, the client's address and the
command. SIGINT or SIGTERM closes every client, releases the port and exits 0.

Commands (any case, long or short form, optional nodes in brackets; [?]: also a query):
)" + cmdline::Wrap(commands + ".", 90, "");
}
