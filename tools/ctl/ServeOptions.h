// The serve command's command line, parsed without side effects so that tests can drive it:
// where to listen, who may connect, and the limits on clients.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "NetAddress.h"
#include "OptionTable.h"
#include "PortTarget.h"
#include "SerialSession.h"

/// Everything `varnel-ctl serve` is told.
struct ServeOptions {
    bool help = false;
    PortTarget port;
    net::Address listenAddress = net::Address::V4(0x7F000001);  ///< 127.0.0.1
    int listenPort = 5025;                 ///< the LAN instrument convention; 0: any free
    std::vector<net::AddressRange> allow;  ///< who may connect (loopback when not given)
    bool readOnly = false;                 ///< queries only
    int maxClients = 4;                    ///< one more is refused at once
    int idleTimeoutS = 0;                  ///< close a client silent this long; 0: never
    bool direct = false;                   ///< never through a running panel
    bool announce = false;                 ///< publish it on the network (not on loopback)
    bool noVxi11 = false;                  ///< the raw socket only
    int vxi11Port = 0;                     ///< the VXI-11 core channel's port; 0: any free
    int httpPort = 80;                     ///< the web page's port; 0: any free; -1: none
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

/// The serve command's --help text.
std::string ServeHelpText();
