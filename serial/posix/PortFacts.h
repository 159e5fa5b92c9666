// What the system knows about a port without opening it: the device it leads to, its by-id
// name, USB identity, and which program holds it. Reads /dev, /sys and /proc only; nothing
// here decides whether a port opens. Used by the link's open-failure texts, the panel's port
// tooltip and `varnel-ctl ports` alike.
#pragma once

#include <istream>
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

/// Everything known about one COM port.
struct PortFacts {
    int com = 0;
    std::string device;    ///< ShownDevice of what the COM number resolves to
    bool present = false;  ///< PortExists: a terminal that is really there
    std::string byId;      ///< when present: its /dev/serial/by-id name, if any
    UsbIdentity usb;       ///< when present: its USB identity, if any
    PortHolder holder;     ///< when present: who has locked it (FindLockHolder)
};

/// The facts of COM `com`.
PortFacts FactsOfPort(int com);

/// The facts for a person, after the COM name: "/dev/ttyUSB0  /dev/serial/by-id/...  usb
/// 0403:6001 serial A1  held by minicom (PID 42)", or "<device>  not there".
std::string DescribePortFacts(const PortFacts& facts);

/// How to show the device behind `path`: all links followed when they lead to something,
/// else what the link names (a port-folder entry of a device that is not there), else `path`.
std::string ShownDevice(const std::string& path);

/// The name under /dev/serial/by-id whose link leads to `device`, or empty.
std::string ByIdName(const std::string& device);

/// USB vendor, product and serial of the tty `device` leads to.
UsbIdentity UsbIdentityOf(const std::string& device);

/// The process that has locked `device`: a flock on its node (as the serial link takes), or
/// a live UUCP lock file (LockFileHolder). This process never counts.
PortHolder FindLockHolder(const std::string& device);

/// FindLockHolder, else any other process that has `device` open (from /proc/<pid>/fd: the
/// user's own processes, or all of them for root).
PortHolder FindHolder(const std::string& device);

/// The file a lock is held on, as /proc/locks names it: the filesystem's device numbers
/// (st_dev) and the inode.
struct LockedFile {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned long inode = 0;
};

/// The PID holding a FLOCK on `file` in the text of /proc/locks; waiting requests ("->")
/// and other lock kinds are skipped. 0 when none is listed.
long FindFlockHolder(std::istream& procLocks, const LockedFile& file);

/// The PID holding a flock on the file at `path` (links followed), from /proc/locks; 0 when
/// none is found or it cannot be told.
long FlockHolderOf(const std::string& path);

/// The program name of process `pid` (/proc/<pid>/comm); empty when it cannot be read.
std::string ProgramNameOf(long pid);
