// Network addresses as the server's command line and its peers give them. IPv4 and IPv6 share
// one 16-byte form, IPv4 as an IPv4-mapped IPv6 address (::ffff:a.b.c.d), so that one range
// matches peers of either family and an IPv4 client on a dual-stack socket is judged by its
// IPv4 address. Only numeric forms are read, and only the strict ones: a form that some
// programs read differently from others (a leading zero, a sign) is refused, not guessed at.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace net {

/// An IPv4 or IPv6 address, in network byte order; IPv4 as ::ffff:a.b.c.d.
struct Address {
    std::array<std::uint8_t, 16> bytes{};

    /// The IPv4 address `hostOrder` (such as 0x7F000001 for 127.0.0.1).
    static constexpr Address V4(std::uint32_t hostOrder) {
        Address address;
        address.bytes[10] = address.bytes[11] = 0xFF;
        for (int i = 0; i < 4; ++i) {
            address.bytes[12 + i] = static_cast<std::uint8_t>(hostOrder >> (24 - 8 * i));
        }
        return address;
    }
    /// True for an IPv4 address (the ::ffff:0:0/96 block).
    bool IsV4() const;
    bool operator==(const Address&) const = default;
};

/// A block of addresses: those whose first `bits` bits are the network's.
struct AddressRange {
    Address network;
    int bits = 128;  ///< over all 16 bytes: IPv4's /n is 96 + n
};

/// Reads one numeric address (10.0.0.1, fd00::1). Empty on success, else what is wrong.
std::string ParseAddress(std::string_view text, Address& address);

/// Reads "10.0.0.0/24,192.168.1.7,fd00::/8" (a bare address is one host) onto `ranges`.
/// Empty on success, else what is wrong with which part and what was likely meant.
std::string ParseAddressRanges(std::string_view text, std::vector<AddressRange>& ranges);

/// Reads ADDRESS:PORT, an IPv6 address in brackets ([::1]:5025); port 0 means any free one.
std::string ParseEndpoint(std::string_view text, Address& address, int& port);

/// True when `address` lies in one of `ranges`.
bool Admits(const std::vector<AddressRange>& ranges, const Address& address);

/// A warning when `ranges` admit every IPv4 or every address; empty otherwise.
std::string EveryoneWarning(const std::vector<AddressRange>& ranges);

/// True for 127.0.0.0/8 and ::1.
bool IsLoopback(const Address& address);

/// The loopback blocks of both families.
std::vector<AddressRange> LoopbackRanges();

/// "10.0.0.1" or "fd00::1".
std::string AddressText(const Address& address);

/// "10.0.0.1:5025" or "[fd00::1]:5025".
std::string EndpointText(const Address& address, int port);

/// Fills `storage` (a sockaddr_storage) with `address`:`port`, IPv4 as sockaddr_in; its length.
int ToSocketAddress(const Address& address, int port, void* storage);
/// Reads the address and port of `storage` (a sockaddr_storage of either family; of another
/// family, as a local socket's, the address and port are left as they are).
void FromSocketAddress(const void* storage, Address& address, int& port);

}  // namespace net
