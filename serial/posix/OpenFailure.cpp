#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "DeviceAccess.h"
#include "OpenFailure.h"
#include "PortNames.h"

namespace {

bool HasGroup(const std::vector<gid_t>& groups, gid_t gid) {
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// The groups of the user `name` in the group database, primary group `primary` included.
std::vector<gid_t> UserGroups(const char* name, gid_t primary) {
    int count = 32;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (::getgrouplist(name, primary, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count) + 1);  // count now says how many
        count = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
}

std::vector<gid_t> SessionGroups() {
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, groups.data()) < 0) {
        groups.clear();
    }
    groups.push_back(::getegid());
    return groups;
}

std::string PermissionAdvice(const std::string& device, const DeviceAccess& access) {
    const std::string look = " Check the device's permissions (`ls -l " + device + "`).";
    if (access.group.empty() || !access.groupMayUse) {
        return "permission denied." + look;
    }
    const std::string group = "'" + access.group + "'";
    if (!access.userInGroup) {
        return "permission denied. Your user is not in the group " + group +
               " that owns it; add it with `sudo usermod -aG " + access.group +
               " $USER` and log in again.";
    }
    if (!access.sessionHasGroup) {
        return "permission denied. Your user is in the group " + group +
               " that owns it, but this session started before it was added; log out and in "
               "again.";
    }
    return "permission denied, although this session is in the group " + group + " that owns it." +
           look;
}

std::string BusyText(const OpenFailure& failure) {
    if (!failure.lockFile.empty()) {
        return "its lock file " + failure.lockFile +
               " is not a plain file, so the port counts as in use. Remove it if no program uses "
               "the port.";
    }
    std::string holder = "another program";
    if (failure.holderPid > 0) {
        const std::string pid = "PID " + std::to_string(failure.holderPid);
        holder = failure.holderName.empty() ? pid : failure.holderName + " (" + pid + ")";
    }
    return "it is in use by " + holder + ". Close that program's connection and try again.";
}

}  // namespace

DeviceAccess QueryDeviceAccess(const std::string& devicePath) {
    DeviceAccess access;
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0) {
        return access;
    }
    access.groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (const group* entry = ::getgrgid(st.st_gid); entry != nullptr) {
        access.group = entry->gr_name;
    }
    if (const passwd* user = ::getpwuid(::getuid()); user != nullptr) {
        access.userInGroup = HasGroup(UserGroups(user->pw_name, user->pw_gid), st.st_gid);
    }
    access.sessionHasGroup = HasGroup(SessionGroups(), st.st_gid);
    return access;
}

std::string DescribeOpenFailure(int portNumber, const OpenFailure& failure,
                                const DeviceAccess& access) {
    return DescribeOpenFailure(PortDisplayName(portNumber), failure, access);
}

std::string DescribeOpenFailure(const std::string& portLabel, const OpenFailure& failure,
                                const DeviceAccess& access) {
    if (failure.kind == OpenFailureKind::None) {
        return {};
    }
    const std::string& port = portLabel;
    std::string text = port;
    if (!failure.device.empty() && failure.device != port) {
        text += " (" + failure.device + ")";
    }
    text += " cannot be opened: ";
    switch (failure.kind) {
        case OpenFailureKind::NoSuchDevice:
            return text +
                   (failure.device.empty() ? "it names no device." : "the device is not there.") +
                   " Check that the module is plugged in and switched on; `varnel-ctl ports` lists "
                   "the "
                   "ports that exist.";
        case OpenFailureKind::PermissionDenied:
            return text + PermissionAdvice(failure.device, access);
        case OpenFailureKind::Busy:
            return text + BusyText(failure);
        case OpenFailureKind::NotATerminal:
            return text + "it is not a serial device. Point " + port +
                   " at a terminal device such as /dev/ttyUSB0.";
        case OpenFailureKind::None:
        case OpenFailureKind::Failed:
            break;
    }
    return text + (failure.error != 0 ? std::strerror(failure.error) : "the system refused") + ".";
}

std::string DescribeOpenFailure(int portNumber, const OpenFailure& failure) {
    const DeviceAccess access = failure.kind == OpenFailureKind::PermissionDenied
                                    ? QueryDeviceAccess(failure.device)
                                    : DeviceAccess{};
    return DescribeOpenFailure(portNumber, failure, access);
}
