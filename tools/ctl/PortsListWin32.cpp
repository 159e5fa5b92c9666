// The ports command on Windows: the COM numbers the panel's probe finds, each with the device
// the system names behind it. Nothing is opened for reading or writing.
#include <windows.h>

#include <nlohmann/json.hpp>

#include "PortNames.h"
#include "PortsList.h"

namespace {

// The device behind the DOS name COMn ("\Device\Serial0"), empty when the name is not defined.
std::string DeviceBehind(int com) {
    char target[1024];
    if (::QueryDosDeviceA(PortDisplayName(com).c_str(), target, sizeof target) == 0) {
        return {};
    }
    return target;  // the first of the names the system keeps for it
}

}  // namespace

std::vector<std::string> PortLines(const CtlOptions& options) {
    std::vector<std::string> lines;
    for (int com = 1; com <= kMaxComPort; ++com) {
        const bool present = PortExists(com);
        std::string device = DeviceBehind(com);
        // --all adds the numbers the system knows by name but whose device does not answer.
        if (!present && (!options.all || device.empty())) {
            continue;
        }
        if (device.empty()) {
            device = PortDevicePath(com);
        }
        std::string line = PortDisplayName(com) + "  " + device + (present ? "" : "  not there");
        if (options.json) {
            nlohmann::ordered_json json;
            json["port"] = PortDisplayName(com);
            json["device"] = device;
            json["present"] = present;
            json["by_id"] = nullptr;
            json["usb"] = nullptr;
            json["held_by"] = nullptr;
            line = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}
