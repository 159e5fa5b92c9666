#include "HostPolicy.h"

#include <algorithm>
#include <utility>

#include "AsciiCase.h"
#include "HostNames.h"

namespace web {

namespace {

constexpr std::string_view kNameCharacters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-";

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A port from 1 to 65535 in plain decimal: no sign, no leading zero.
std::optional<int> ReadPort(std::string_view text) {
    if (!AllDigits(text) || text.size() > 5 || text[0] == '0') {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text) {
        value = value * 10 + (c - '0');
    }
    return value <= 65535 ? std::optional(value) : std::nullopt;
}

// A host name or a dotted IPv4 address, lowercased, without a trailing dot. A name whose last
// label is a number is taken by browsers and resolvers as an address in one of the loose forms
// (2130706433, 0x7f.1, 127.1, 0177.0.0.1): only the strict dotted form is taken, the rest is
// refused rather than read one way when the client meant another.
std::optional<std::string> ReadName(std::string_view text) {
    if (text.size() > 1 && text.back() == '.') {
        text.remove_suffix(1);
    }
    if (text.empty() || text.size() > 253 ||
        text.find_first_not_of(kNameCharacters) != std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view last;
    for (std::string_view rest = text;;) {
        const std::size_t dot = rest.find('.');
        const std::string_view label = rest.substr(0, dot);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
            return std::nullopt;
        }
        last = label;
        if (dot == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(dot + 1);
    }
    const std::string lower = AsciiLowered(text);
    const bool hex = AsciiLowered(last.substr(0, 2)) == "0x" &&
                     last.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string_view::npos;
    if (AllDigits(last) || hex) {
        net::Address address;
        if (!net::ParseAddress(lower, address).empty()) {
            return std::nullopt;
        }
    }
    return lower;
}

// Two hosts as ParseAuthority gives them: the same address however written, or the same name.
bool SameHost(const std::string& a, const std::string& b) {
    net::Address first;
    net::Address second;
    if (net::ParseAddress(a, first).empty() && net::ParseAddress(b, second).empty()) {
        return first == second;
    }
    return a == b;
}

bool IsWildcard(const net::Address& address) {
    return address == net::Address{} || address == net::Address::V4(0);
}

void AddOnce(std::vector<std::string>& names, std::string name) {
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(std::move(name));
    }
}

}  // namespace

std::optional<Authority> ParseAuthority(std::string_view text) {
    Authority authority;
    std::string_view portText;
    bool hasPort = false;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return std::nullopt;
        }
        hasPort = !rest.empty();
        portText = hasPort ? rest.substr(1) : rest;
        // Brackets hold an IPv6 address only, and no zone (%eth0), which a Host never needs.
        net::Address address;
        if (host.find(':') == std::string_view::npos || !net::ParseAddress(host, address).empty()) {
            return std::nullopt;
        }
        authority.host = AsciiLowered(host);
    } else {
        const std::size_t colon = text.find(':');
        hasPort = colon != std::string_view::npos;
        if (hasPort) {
            portText = text.substr(colon + 1);
        }
        std::optional<std::string> name = ReadName(text.substr(0, colon));
        if (!name) {
            return std::nullopt;
        }
        authority.host = std::move(*name);
    }
    if (hasPort) {
        authority.port = ReadPort(portText);
        if (!authority.port) {
            return std::nullopt;
        }
    }
    return authority;
}

OurHosts FindOurHosts(const net::Address& listen, int port) {
    OurHosts ours;
    ours.port = port;
    ours.addresses = IsWildcard(listen) ? InterfaceAddresses() : std::vector{listen};
    net::Address loopback6;  // ::1
    loopback6.bytes[15] = 1;
    for (const net::Address& loopback : {net::Address::V4(0x7F000001), loopback6}) {
        if (std::find(ours.addresses.begin(), ours.addresses.end(), loopback) ==
            ours.addresses.end()) {
            ours.addresses.push_back(loopback);
        }
    }
    AddOnce(ours.names, "localhost");
    // The name as the system has it ("box" or "box.lab.example"), and its first label with
    // ".local", the name mDNS answers to.
    if (std::optional<std::string> name = ReadName(MachineName()); name) {
        AddOnce(ours.names, *name);
        AddOnce(ours.names, name->substr(0, name->find('.')) + ".local");
    }
    return ours;
}

bool IsOurs(std::string_view host, const OurHosts& ours) {
    const std::optional<Authority> authority = ParseAuthority(host);
    if (!authority || authority->port.value_or(80) != ours.port) {
        return false;
    }
    net::Address address;
    if (net::ParseAddress(authority->host, address).empty()) {
        return std::find(ours.addresses.begin(), ours.addresses.end(), address) !=
               ours.addresses.end();
    }
    return std::any_of(ours.names.begin(), ours.names.end(), [&](const std::string& name) {
        const std::optional<std::string> ourName = ReadName(name);
        return ourName && *ourName == authority->host;
    });
}

bool IsSameOrigin(std::string_view origin, std::string_view host) {
    constexpr std::string_view kScheme = "http://";
    if (origin.substr(0, kScheme.size()) != kScheme) {
        return false;
    }
    const std::optional<Authority> ours = ParseAuthority(host);
    const std::optional<Authority> theirs = ParseAuthority(origin.substr(kScheme.size()));
    return ours && theirs && SameHost(ours->host, theirs->host) &&
           ours->port.value_or(80) == theirs->port.value_or(80);
}

}  // namespace web
