// Ports on POSIX: COM numbers through the port folder and the fixed table, or device paths.
#include "PortArgument.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "DeviceAccess.h"
#include "PortFacts.h"
#include "PortNames.h"
#include "SerialLink.h"

const char* const kPortHelp = R"(PORT is COMn (resolved as the panel does: the port folder, else the
fixed table) or a device path: /dev/ttyUSB0, /dev/serial/by-id/..., a pty.

When a running panel holds PORT, the commands go through the panel (it shows every step
as the module reports it); --direct refuses that route.)";

std::string ParsePortPath(std::string_view text, PortTarget& target) {
    target.path =
        text.find('/') == std::string_view::npos ? "/dev/" + std::string(text) : std::string(text);
    target.label = target.path;
    return {};
}

int OpenPortTarget(CSerialLink& link, ILinkOwner* owner, const PortTarget& target,
                   const LinkSettings& settings) {
    return target.com != 0 ? link.Open(owner, target.com, settings)
                           : link.OpenPath(owner, target.path, settings);
}

bool CheckPortPresent(int com, OpenFailure& failure) {
    if (PortExists(com)) {
        return true;
    }
    failure = {};
    failure.device = PortDevicePath(com);
    struct stat st {};
    if (failure.device.empty() || ::stat(failure.device.c_str(), &st) != 0) {
        failure.kind = OpenFailureKind::NoSuchDevice;
        failure.error = ENOENT;
    } else {
        failure.kind = OpenFailureKind::NotATerminal;
        failure.error = ENOTTY;
    }
    return false;
}

std::string DescribePortFailure(const PortTarget& target, OpenFailure failure) {
    // A COM number is shown with the device it resolved to; a path is shown as given.
    failure.device = target.com != 0 ? ShownDevice(failure.device) : target.path;
    if (failure.kind == OpenFailureKind::Busy && failure.holderPid == 0) {
        // The link names lock holders; a program that only has the device open is found here.
        const PortHolder holder = FindHolder(failure.device);
        failure.holderPid = holder.pid;
        failure.holderName = holder.name;
    }
    if (failure.kind == OpenFailureKind::NotATerminal && target.com == 0) {
        return target.path + " cannot be opened: it is not a terminal device. Give a serial " +
               "port, such as /dev/ttyUSB0; `varnel-ctl ports` lists them.";
    }
    const DeviceAccess access = failure.kind == OpenFailureKind::PermissionDenied
                                    ? QueryDeviceAccess(failure.device)
                                    : DeviceAccess{};
    return DescribeOpenFailure(target.label, failure, access);
}
