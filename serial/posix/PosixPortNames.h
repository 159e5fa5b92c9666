// The POSIX side of the COM-port namespace: the folder of COMn entries that names ports
// beside the fixed table, and the sysfs check for legacy ttyS nodes without a UART.
#pragma once

#include <sys/types.h>

#include <string>

/// Where the folder of COMn entries is, and whether it may be used.
struct PortFolderChoice {
    std::string path;     ///< $VARNEL_PORTS when set, else RuntimeFolder() + "/ports"
    std::string refusal;  ///< why it is not private (IsPrivateFolder); empty when it is
};

/// Finds the port folder and vets it, and the runtime folder above it when it is the default:
/// an entry there decides where the panel's frames go, so only this user may place one.
PortFolderChoice ChoosePortFolder();

/// The port folder when it may be used; else empty (COM numbers then name the fixed table
/// alone), and the first time in this process a line on standard error says why.
std::string PortFolder();

/// Path of the folder's entry for COM `com` (folder + "/COM<n>"), whether or not it exists;
/// empty outside 1..kMaxComPort or when there is no usable folder.
std::string PortEntryPath(int com);

/// Creates the port-name folder and any missing parents (new folders get mode 0700; the
/// default folder is closed to others), and checks it is private. On failure returns false
/// and puts a sentence naming the folder and the reason in `error`.
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
