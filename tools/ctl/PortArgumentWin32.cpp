// Ports on Windows: a COM number is the device \\.\COMn itself, probed as the panel probes it.
#include "PortArgument.h"

#include <windows.h>

#include "PortNames.h"
#include "SerialLink.h"

const char* const kPortHelp = R"(PORT is COMn, as Windows numbers its ports
(`varnel-ctl ports` lists those there are).

The Windows panel has no control socket: every command, serve too, holds PORT itself, so
close the panel's port (or the panel) first; panels lists none.)";

std::string ParsePortPath(std::string_view text, PortTarget& /*target*/) {
    return "\"" + std::string(text) + "\": on Windows a port is COM1 to COM" +
           std::to_string(kMaxComPort) + "; `varnel-ctl ports` lists those there are";
}

int OpenPortTarget(CSerialLink& link, ILinkOwner* owner, const PortTarget& target,
                   const LinkSettings& settings) {
    return link.Open(owner, target.com, settings);
}

bool CheckPortPresent(int com, OpenFailure& failure) {
    if (PortExists(com)) {
        return true;
    }
    failure = {};
    failure.kind = OpenFailureKind::NoSuchDevice;
    failure.error = ERROR_FILE_NOT_FOUND;
    failure.device = PortDevicePath(com);
    return false;
}

std::string DescribePortFailure(const PortTarget& target, OpenFailure failure) {
    switch (failure.kind) {
        case OpenFailureKind::NoSuchDevice:
            return target.label +
                   " cannot be opened: the port is not there. Check that the module is plugged in "
                   "and switched on; `varnel-ctl ports` lists the ports that exist.";
        case OpenFailureKind::Busy:
            return DescribeOpenFailure(target.com, failure) +
                   " Close the program that holds it (a running varnel.exe panel, say), or give "
                   "another port.";
        default:
            return DescribeOpenFailure(target.com, failure);
    }
}
