// The POSIX side of the COM-port namespace: the folder of COMn entries that names ports
// beside the fixed table, and the sysfs check for legacy ttyS nodes without a UART.
#pragma once

#include <sys/types.h>

#include <string>

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

/// True when the character device `rdev` is a terminal that can be a port: a pty slave or a
/// device of sysfs' tty class, but not /dev/tty, /dev/console or /dev/ptmx. Asks sysfs, never
/// the device; true for any character device when there is no sysfs.
bool CharDeviceIsTerminal(dev_t rdev);

/// `path` with every link and relative part resolved (realpath); `path` itself when that fails.
std::string ResolvedPath(const std::string& path);
