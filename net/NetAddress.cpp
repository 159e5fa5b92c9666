#include "NetAddress.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <algorithm>
#include <cstring>
#include <optional>

namespace net {

namespace {

constexpr int kV4Offset = 96;  // bits before an IPv4 address in the mapped form

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A plain decimal number from 0 to `maximum`: digits only, no sign, no leading zero (which
// some readers take as octal), at most six digits.
std::optional<int> ReadDecimal(std::string_view text, int maximum) {
    if (!AllDigits(text) || text.size() > 6 || (text.size() > 1 && text[0] == '0')) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text) {
        value = value * 10 + (c - '0');
    }
    return value <= maximum ? std::optional(value) : std::nullopt;
}

std::string NotAnAddress(std::string_view text) {
    return "\"" + std::string(text) +
           "\" is not a numeric IPv4 or IPv6 address (such as 10.0.0.1 or fd00::1)";
}

// Four decimal parts. Each part's shape is checked first, so that a refusal can say what was
// meant; the C library's parser then has the last word.
std::string ParseV4(std::string_view text, Address& address) {
    std::string plain;
    bool leadingZero = false;
    int dots = 0;
    for (std::string_view rest = text;; ++dots) {
        const std::size_t dot = rest.find('.');
        const std::string_view part = rest.substr(0, dot);
        if (!AllDigits(part) || part.size() > 3 || std::stoi(std::string(part)) > 255) {
            return NotAnAddress(text);
        }
        leadingZero = leadingZero || (part.size() > 1 && part[0] == '0');
        plain += (dots == 0 ? "" : ".") + std::to_string(std::stoi(std::string(part)));
        if (dot == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(dot + 1);
    }
    in_addr parsed{};
    if (dots != 3 || ::inet_pton(AF_INET, plain.c_str(), &parsed) != 1) {
        return NotAnAddress(text);
    }
    if (leadingZero) {
        return "\"" + std::string(text) +
               "\" has a leading zero, which some programs read as octal: write " + plain +
               " if that is the address meant";
    }
    address = Address{};
    address.bytes[10] = address.bytes[11] = 0xFF;
    std::memcpy(address.bytes.data() + 12, &parsed, 4);
    return {};
}

std::string RangeText(const AddressRange& range) {
    const bool v4 = range.network.IsV4() && range.bits >= kV4Offset;
    return AddressText(range.network) + "/" + std::to_string(range.bits - (v4 ? kV4Offset : 0));
}

Address Masked(const Address& address, int bits) {
    Address masked = address;
    for (int i = 0; i < 16; ++i) {
        const int keep = std::clamp(bits - i * 8, 0, 8);
        masked.bytes[i] &= static_cast<std::uint8_t>(0xFF00 >> keep);
    }
    return masked;
}

}  // namespace

bool Address::IsV4() const {
    return std::all_of(bytes.begin(), bytes.begin() + 10, [](std::uint8_t b) { return b == 0; }) &&
           bytes[10] == 0xFF && bytes[11] == 0xFF;
}

std::string ParseAddress(std::string_view text, Address& address) {
    if (text.find(':') == std::string_view::npos) {
        return ParseV4(text, address);
    }
    if (text.find('%') != std::string_view::npos) {
        return "\"" + std::string(text) + "\" names a zone: give an address without %zone";
    }
    in6_addr parsed{};
    if (::inet_pton(AF_INET6, std::string(text).c_str(), &parsed) != 1) {
        return NotAnAddress(text);
    }
    std::memcpy(address.bytes.data(), &parsed, 16);
    return {};
}

std::string ParseAddressRanges(std::string_view text, std::vector<AddressRange>& ranges) {
    for (std::string_view rest = text;;) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        if (item.empty()) {
            return "an empty item in \"" + std::string(text) + "\"";
        }
        const std::size_t slash = item.find('/');
        AddressRange range;
        if (std::string error = ParseAddress(item.substr(0, slash), range.network);
            !error.empty()) {
            return error;
        }
        const bool v4 = item.substr(0, slash).find(':') == std::string_view::npos;
        const int most = v4 ? 32 : 128;
        if (slash != std::string_view::npos) {
            const std::optional<int> bits = ReadDecimal(item.substr(slash + 1), most);
            if (!bits) {
                return std::string(item) + ": the prefix length after / is a number from 0 to " +
                       std::to_string(most);
            }
            range.bits = *bits + (v4 ? kV4Offset : 0);
        }
        // Host bits set: the range is wider or narrower than it reads, so neither is guessed.
        if (const Address network = Masked(range.network, range.bits); network != range.network) {
            return std::string(item) + " has host bits set: did you mean " +
                   RangeText({network, range.bits}) + "? (or " + RangeText({range.network, 128}) +
                   " for the host alone)";
        }
        ranges.push_back(range);
        if (comma == std::string_view::npos) {
            return {};
        }
        rest.remove_prefix(comma + 1);
    }
}

std::string ParseEndpoint(std::string_view text, Address& address, int& port) {
    const std::string usage = "ADDRESS:PORT such as 127.0.0.1:5025, or [::1]:5025 for IPv6";
    std::string_view host;
    std::string_view portText;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string_view::npos ||
            text.substr(1, close - 1).find(':') == std::string_view::npos) {
            return "wants " + usage;
        }
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos) {
            return "wants " + usage;
        }
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (host.find(':') != std::string_view::npos) {
            return "wants an IPv6 address in brackets: [" + std::string(host) +
                   "]:" + std::string(portText);
        }
    }
    if (std::string error = ParseAddress(host, address); !error.empty()) {
        return error;
    }
    const std::optional<int> number = ReadDecimal(portText, 65535);
    if (!number) {
        return "\"" + std::string(portText) +
               "\" is not a port: write a number from 1 to 65535, or 0 for any free port";
    }
    port = *number;
    return {};
}

bool Admits(const std::vector<AddressRange>& ranges, const Address& address) {
    return std::any_of(ranges.begin(), ranges.end(), [&](const AddressRange& range) {
        return Masked(address, range.bits) == range.network;
    });
}

std::string EveryoneWarning(const std::vector<AddressRange>& ranges) {
    for (const AddressRange& range : ranges) {
        if (range.bits == 0 || (range.bits <= kV4Offset && Admits({range}, Address::V4(0)))) {
            return "--allow " + RangeText(range) + " admits every " +
                   (range.bits == 0 ? "" : "IPv4 ") +
                   "address: anyone who reaches the port may drive the laser";
        }
    }
    return {};
}

bool IsLoopback(const Address& address) {
    return Admits(LoopbackRanges(), address);
}

std::vector<AddressRange> LoopbackRanges() {
    Address one;
    one.bytes[15] = 1;
    return {{Address::V4(0x7F000000), kV4Offset + 8}, {one, 128}};
}

std::string AddressText(const Address& address) {
    if (address.IsV4()) {
        return std::to_string(address.bytes[12]) + "." + std::to_string(address.bytes[13]) + "." +
               std::to_string(address.bytes[14]) + "." + std::to_string(address.bytes[15]);
    }
    in6_addr raw{};
    std::memcpy(&raw, address.bytes.data(), 16);
    char text[64] = {};
    return ::inet_ntop(AF_INET6, &raw, text, sizeof text) != nullptr ? text : "?";
}

std::string EndpointText(const Address& address, int port) {
    const std::string host = AddressText(address);
    return (address.IsV4() ? host : "[" + host + "]") + ":" + std::to_string(port);
}

int ToSocketAddress(const Address& address, int port, void* storage) {
    const auto portBytes = htons(static_cast<std::uint16_t>(port));
    if (address.IsV4()) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = portBytes;
        std::memcpy(&where.sin_addr, address.bytes.data() + 12, 4);
        std::memcpy(storage, &where, sizeof where);
        return static_cast<int>(sizeof where);
    }
    sockaddr_in6 where{};
    where.sin6_family = AF_INET6;
    where.sin6_port = portBytes;
    std::memcpy(&where.sin6_addr, address.bytes.data(), 16);
    std::memcpy(storage, &where, sizeof where);
    return static_cast<int>(sizeof where);
}

void FromSocketAddress(const void* storage, Address& address, int& port) {
    sockaddr_storage any{};
    std::memcpy(&any, storage, sizeof any);
    if (any.ss_family == AF_INET) {
        sockaddr_in where{};
        std::memcpy(&where, &any, sizeof where);
        address = Address::V4(0);
        std::memcpy(address.bytes.data() + 12, &where.sin_addr, 4);
        port = ntohs(where.sin_port);
    } else if (any.ss_family == AF_INET6) {
        sockaddr_in6 where{};
        std::memcpy(&where, &any, sizeof where);
        std::memcpy(address.bytes.data(), &where.sin6_addr, 16);
        port = ntohs(where.sin6_port);
    }
}

}  // namespace net
