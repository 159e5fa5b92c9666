#include <climits>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "CtlCommands.h"
#include "PortNames.h"
#include "PortProbe.h"

namespace {

/// One listed port.
struct PortRow {
    int com = 0;
    std::string device;  ///< what the COM number resolves to, links followed when there
    bool present = false;
    std::string byId;
    UsbIdentity usb;
    PortHolder holder;
};

PortRow Probe(int com) {
    PortRow row;
    row.com = com;
    row.present = PortExists(com);
    row.device = ShownDevice(PortDevicePath(com));
    if (row.present) {
        row.byId = ByIdName(row.device);
        row.usb = UsbIdentityOf(row.device);
        row.holder = FindLockHolder(row.device);
    }
    return row;
}

std::string HumanRow(const PortRow& row) {
    std::string line = PortDisplayName(row.com) + "  " + row.device;
    if (!row.present) {
        return line + "  not there";
    }
    if (!row.byId.empty()) {
        line += "  " + row.byId;
    }
    if (!row.usb.vendorId.empty()) {
        line += "  usb " + row.usb.vendorId + ":" + row.usb.productId;
        if (!row.usb.serial.empty()) {
            line += " serial " + row.usb.serial;
        }
    }
    if (row.holder.pid != 0) {
        line += "  held by " + (row.holder.name.empty() ? "" : row.holder.name + " ") + "(PID " +
                std::to_string(row.holder.pid) + ")";
    }
    return line;
}

std::string JsonRow(const PortRow& row) {
    nlohmann::ordered_json json;
    json["port"] = PortDisplayName(row.com);
    json["device"] = row.device;
    json["present"] = row.present;
    json["by_id"] = row.byId.empty() ? nullptr : nlohmann::ordered_json(row.byId);
    if (row.usb.vendorId.empty()) {
        json["usb"] = nullptr;
    } else {
        json["usb"] = {{"vendor", row.usb.vendorId},
                       {"product", row.usb.productId},
                       {"serial", row.usb.serial}};
    }
    if (row.holder.pid == 0) {
        json["held_by"] = nullptr;
    } else {
        json["held_by"] = {{"pid", row.holder.pid}, {"program", row.holder.name}};
    }
    // Device names come from the file system and need not be UTF-8.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

int RunPorts(const CtlOptions& options, std::FILE* out, std::FILE* messages) {
    int listed = 0;
    for (int com = 1; com <= kMaxComPort; ++com) {
        if (PortDevicePath(com).empty()) {
            continue;
        }
        const PortRow row = Probe(com);
        if (!row.present && !options.all) {
            continue;
        }
        ++listed;
        const std::string line = options.json ? JsonRow(row) : HumanRow(row);
        if (std::fprintf(out, "%s\n", line.c_str()) < 0) {
            return kExitFailure;
        }
    }
    if (std::fflush(out) != 0) {
        return kExitFailure;
    }
    if (listed == 0) {
        std::fprintf(messages, "varnel-ctl: no serial ports found%s\n",
                     options.all ? "" : " (--all also lists those not there)");
    }
    return kExitOk;
}
