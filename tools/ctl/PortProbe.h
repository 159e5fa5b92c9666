// What the system knows about a serial device without opening it: its by-id name, USB
// identity, and which program holds it. Reads /dev, /sys and /proc; locks are looked up with
// the serial link's own functions.
#pragma once

#include <string>

/// The USB identity of a tty from sysfs; empty fields when there is none (a pty, a UART).
struct UsbIdentity {
    std::string vendorId;   ///< idVendor, four hex digits
    std::string productId;  ///< idProduct, four hex digits
    std::string serial;     ///< the adapter's serial number, when it has one
};

/// A program that holds a device open or has locked it.
struct PortHolder {
    long pid = 0;      ///< 0 when nobody was found
    std::string name;  ///< the program's name (/proc/<pid>/comm), when readable
};

/// How to show the device behind `path`: all links followed when they lead to something,
/// else what the link names (a port-folder entry of a device that is not there), else `path`.
std::string ShownDevice(const std::string& path);

/// The name under /dev/serial/by-id whose link leads to `device`, or empty.
std::string ByIdName(const std::string& device);

/// USB vendor, product and serial of the tty `device` leads to.
UsbIdentity UsbIdentityOf(const std::string& device);

/// The process that has locked `device`: a flock on its node (as the serial link takes), or
/// a live UUCP lock file (the link's LockFileName in its LockFolder). This process never
/// counts.
PortHolder FindLockHolder(const std::string& device);

/// FindLockHolder, else any other process that has `device` open (from /proc/<pid>/fd: the
/// user's own processes, or all of them for root).
PortHolder FindHolder(const std::string& device);
