#include "PortTarget.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "DeviceAccess.h"
#include "PortFacts.h"
#include "PortNames.h"

namespace {

bool IsComName(std::string_view text) {
    return text.size() > 3 && (text[0] == 'C' || text[0] == 'c') &&
           (text[1] == 'O' || text[1] == 'o') && (text[2] == 'M' || text[2] == 'm');
}

}  // namespace

std::string ParsePortTarget(std::string_view text, PortTarget& target) {
    target = {};
    target.label = std::string(text);
    if (text.empty()) {
        return "the port is empty; give COMn or a device path such as /dev/ttyUSB0";
    }
    if (IsComName(text) && text.find('/') == std::string_view::npos) {
        const std::string_view digits = text.substr(3);
        int com = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), com);
        if (error != std::errc() || end != digits.data() + digits.size() || com < 1 ||
            com > kMaxComPort) {
            return "\"" + target.label + "\": a COM port is COM1 to COM" +
                   std::to_string(kMaxComPort);
        }
        target.com = com;
        target.label = PortDisplayName(com);
        return {};
    }
    target.path =
        text.find('/') == std::string_view::npos ? "/dev/" + std::string(text) : std::string(text);
    target.label = target.path;
    return {};
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
