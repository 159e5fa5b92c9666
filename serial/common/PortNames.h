// The COM-port namespace as every back end offers it: COM numbers 1..kMaxComPort, the device
// each resolves to, and the probe that says whether a port exists without disturbing its
// line. The POSIX back end adds its port-name folder (PosixPortNames.h).
#pragma once

#include <string>
#include <vector>

/// Highest COM number the panel lists.
inline constexpr int kMaxComPort = 254;

/// "COM<n>", the text the port list shows.
std::string PortDisplayName(int com);

/// Device path that COM `com` resolves to; empty when it names no device. On POSIX: the
/// port-name folder's COMn entry when there is one, else the fixed table (COM1-32 ttyS0-31,
/// COM33-64 ttyUSB0-31, COM65-96 ttyACM0-31).
std::string PortDevicePath(int com);

/// True when COM `com` resolves to a terminal device that is really there (legacy ttyS nodes
/// with no UART behind them do not count). Never reads, writes, configures or toggles the
/// modem lines of the port.
bool PortExists(int com);

/// The COM numbers from 1 to kMaxComPort for which PortExists holds, in order, from one look
/// at the namespace (on POSIX the port-name folder is vetted and read once): what a scan of
/// the port list asks.
std::vector<int> ListPorts();
