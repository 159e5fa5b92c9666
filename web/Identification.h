// What the instrument says it is, to VISA users and to LXI discovery: the fields of its *IDN?
// answer, its VISA resource strings and the LXI identification document.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "NetAddress.h"

namespace web {

/// The four fields of an *IDN? answer ("maker,model,serial,firmware").
struct IdentityFields {
    std::string manufacturer;
    std::string model;
    std::string serial;
    std::string firmware;
};

/// Splits an *IDN? answer at its first three commas; missing fields are empty.
IdentityFields SplitIdentity(std::string_view idn);

/// How clients reach the instrument at one address.
struct Reach {
    net::Address address;   ///< the address the client reached
    int socketPort = 5025;  ///< the raw SCPI socket
    bool vxi11 = true;      ///< a VXI-11 instrument "inst0" is served
    int httpPort = 80;
};

/// The VISA resource strings for `reach`: "TCPIP::10.0.0.5::inst0::INSTR" (with VXI-11) and
/// "TCPIP::10.0.0.5::5025::SOCKET"; an IPv6 address in brackets.
std::vector<std::string> VisaResources(const Reach& reach);

/// The LXI identification document (XML, UTF-8) for `identity` as reached at `reach`, on the
/// machine `hostName` (empty: its address stands in). Only what is known is in it: no hardware
/// address, mask or gateway.
std::string IdentificationXml(const IdentityFields& identity, const Reach& reach,
                              std::string_view hostName);

}  // namespace web
