// What the system says about the user's access to a device: the facts a "permission denied"
// needs to tell the operator what to do.
#pragma once

#include <string>

#include "OpenFailure.h"

/// The device's group and the user's standing in it.
struct DeviceAccess {
    std::string group;             ///< name of the group that owns the device; empty if unknown
    bool groupMayUse = false;      ///< the group may read and write the device
    bool userInGroup = false;      ///< the user is a member (group database, primary included)
    bool sessionHasGroup = false;  ///< this process already has the group
};

/// The facts for the device at `devicePath` (links followed) and the real user.
DeviceAccess QueryDeviceAccess(const std::string& devicePath);

/// DescribeOpenFailure with the access facts given; pure, so every text can be checked.
std::string DescribeOpenFailure(int portNumber, const OpenFailure& failure,
                                const DeviceAccess& access);

/// The same text for a port shown as `portLabel` ("COM5", or a device path given as such);
/// the failure's device is named after the label unless it is the label itself.
std::string DescribeOpenFailure(const std::string& portLabel, const OpenFailure& failure,
                                const DeviceAccess& access);
