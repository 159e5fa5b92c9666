// What only the operating system knows about this machine's names and addresses, one file per
// system (HostNamesPosix.cpp, HostNamesWin32.cpp); HostPolicy.cpp makes our hosts of them.
#pragma once

#include <string>
#include <vector>

#include "NetAddress.h"

namespace web {

/// The addresses of every interface that is up; empty when the system does not say.
std::vector<net::Address> InterfaceAddresses();

/// This machine's host name as the system gives it; empty when the system does not say.
std::string MachineName();

}  // namespace web
