// Which Host and Origin headers name this server. A page of another site that an allowed user
// has open may send requests here, and a name of theirs may be made to resolve to us (DNS
// rebinding): a request is only taken when its Host names us, and a setting only when its
// Origin is our own page's.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "NetAddress.h"

namespace web {

/// A Host header's parts: the host lowercased (an IPv6 address without its brackets), and the
/// port when one was given.
struct Authority {
    std::string host;
    std::optional<int> port;
};

/// Reads "name", "name:8080", "10.0.0.1", "[fd00::1]:80"; empty for anything else (a user part,
/// a path, a bad port, characters no host name has).
std::optional<Authority> ParseAuthority(std::string_view text);

/// The names and addresses that are ours, and the port the page is served on.
struct OurHosts {
    std::vector<net::Address> addresses;  ///< every interface's, loopback's included
    std::vector<std::string> names;       ///< lowercased: "localhost", this machine's names
    int port = 80;
};

/// This machine's names ("localhost", its host name, and that name's first label with ".local"
/// for mDNS) and the addresses of the interfaces `listen` covers (every interface's for a
/// wildcard, loopback's always), for `port`.
OurHosts FindOurHosts(const net::Address& listen, int port);

/// True when `host` (a Host header's value) names us: a name or address of ours, and the port
/// ours (none given: 80).
bool IsOurs(std::string_view host, const OurHosts& ours);

/// True when `origin` (an Origin header's value) is the origin of a page served from `host` (the
/// request's Host header, already found ours): "http://" and the same authority.
bool IsSameOrigin(std::string_view origin, std::string_view host);

}  // namespace web
