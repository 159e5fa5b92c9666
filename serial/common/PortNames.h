// The COM-port namespace: COM numbers 1..254 resolved to tty devices, and the probe that
// says whether a port exists without disturbing its line.
#pragma once

#include <string>

/// Highest COM number the panel lists.
inline constexpr int kMaxComPort = 254;

/// Folder of COMn entries: $VARNEL_PORTS when set, else $XDG_RUNTIME_DIR/varnel/ports, else
/// /tmp/varnel-<uid>/ports.
std::string PortFolder();

/// Path of the folder's entry for COM `com` (folder + "/COM<n>"), whether or not it exists;
/// empty outside 1..kMaxComPort.
std::string PortEntryPath(int com);

/// Creates the port-name folder and any missing parents (new folders get mode 0700). On
/// failure returns false and puts a sentence naming the folder and the reason in `error`.
bool MakePortFolder(std::string& error);

/// True when the sysfs folder of a tty (/sys/class/tty/ttySn) says that no UART is behind it:
/// `type` reads 0, or `port` and `iomem_base` both read 0. Missing files say nothing.
bool SysfsTtyLacksUart(const std::string& sysTtyDir);

/// Device path that COM `com` resolves to: the folder's COMn entry when there is one, else
/// the fixed table (COM1-32 ttyS0-31, COM33-64 ttyUSB0-31, COM65-96 ttyACM0-31); empty when
/// neither names a device.
std::string PortDevicePath(int com);

/// "COM<n>", the text the port list shows.
std::string PortDisplayName(int com);

/// True when COM `com` resolves to a terminal device that is really there (legacy ttyS nodes
/// with no UART behind them do not count). Never reads, writes, configures or toggles the
/// modem lines of the port.
bool PortExists(int com);
