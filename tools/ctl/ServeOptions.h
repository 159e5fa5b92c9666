// The serve command's command line, parsed without side effects so that tests can drive it:
// where to listen, who may connect, and the limits on clients.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OptionTable.h"
#include "PortTarget.h"
#include "SerialSession.h"

/// An IPv4 address range (CIDR), in host byte order.
struct AddressRange {
    std::uint32_t network = 0;
    std::uint32_t mask = 0;
};

/// Everything `varnel-ctl serve` is told.
struct ServeOptions {
    bool help = false;
    PortTarget port;
    std::uint32_t listenAddress = 0x7F000001;  ///< 127.0.0.1
    int listenPort = 5025;                     ///< the LAN instrument convention; 0: any free
    std::vector<AddressRange> allow;           ///< who may connect (loopback when not given)
    bool readOnly = false;                     ///< queries only
    int maxClients = 4;                        ///< one more is refused at once
    int idleTimeoutS = 0;                      ///< close a client silent this long; 0: never
    bool direct = false;                       ///< never through a running panel
    bool announce = false;                     ///< publish it on the network (not on loopback)
    SessionTiming timing;  ///< as the other commands': --timeout, --reply-wait, --tries
};

/// True when `args` (after the program name) ask for the serve command: "serve PORT ..." or
/// "PORT serve ...".
bool IsServeCommand(const std::vector<std::string>& args);

/// serve's options, read into `options`.
std::vector<cmdline::Option> ServeOptionTable(ServeOptions& options);

/// Parses the serve command's arguments. Returns an empty string on success, else one line
/// saying what is wrong and how to put it right; in particular a listening address beyond
/// loopback without --allow is refused.
std::string ParseServeOptions(const std::vector<std::string>& args, ServeOptions& options);

/// Reads "10.0.0.0/24,192.168.1.7" (a bare address is /32); false when any part is not one.
bool ParseAddressRanges(const std::string& text, std::vector<AddressRange>& ranges);

/// Reads "a.b.c.d:port" into the listening address and port; false when it is not one.
bool ParseListenAddress(const std::string& text, ServeOptions& options);

/// True when `address` lies in one of the allowed ranges.
bool IsAllowed(const ServeOptions& options, std::uint32_t address);

/// True for an address in 127.0.0.0/8.
bool IsLoopback(std::uint32_t address);

/// "a.b.c.d" of an address in host byte order.
std::string AddressText(std::uint32_t address);

/// The serve command's --help text.
std::string ServeHelpText();
