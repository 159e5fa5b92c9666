// This machine's interfaces and name on Windows: the adapters from the IP Helper API, the name
// from Winsock (which the server has started before it asks).
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which it needs.
#include <iphlpapi.h>

#include <cstring>
#include <vector>

#include "HostNames.h"

namespace web {

std::vector<net::Address> InterfaceAddresses() {
    std::vector<net::Address> addresses;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // The list's size is only known by asking; it may grow between two calls, so ask again.
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result =
            ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                   reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != ERROR_SUCCESS) {
        return addresses;
    }
    for (const IP_ADAPTER_ADDRESSES* adapter =
             reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
         adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) {
            continue;
        }
        for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
             unicast != nullptr; unicast = unicast->Next) {
            const SOCKADDR* raw = unicast->Address.lpSockaddr;
            if (raw == nullptr || (raw->sa_family != AF_INET && raw->sa_family != AF_INET6)) {
                continue;
            }
            // Copied to a whole sockaddr_storage first: the entry holds only its family's size.
            sockaddr_storage storage{};
            std::memcpy(&storage, raw,
                        raw->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
            net::Address address;
            int port = 0;
            net::FromSocketAddress(&storage, address, port);
            addresses.push_back(address);
        }
    }
    return addresses;
}

std::string MachineName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

}  // namespace web
