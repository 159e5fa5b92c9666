// This machine's interfaces and name on POSIX systems.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "HostNames.h"

namespace web {

std::vector<net::Address> InterfaceAddresses() {
    std::vector<net::Address> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return addresses;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_UP) == 0) {
            continue;
        }
        const int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) {
            continue;
        }
        // Copied to a whole sockaddr_storage first: the entry holds only its family's size.
        sockaddr_storage storage{};
        std::memcpy(&storage, entry->ifa_addr,
                    family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        net::Address address;
        int port = 0;
        net::FromSocketAddress(&storage, address, port);
        addresses.push_back(address);
    }
    ::freeifaddrs(list);
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
