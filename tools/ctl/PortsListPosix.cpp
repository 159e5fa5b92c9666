// The ports command on POSIX: each COM number's device with what udev and sysfs tell of it.
#include <climits>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "PortFacts.h"
#include "PortNames.h"
#include "PortsList.h"

namespace {

std::string JsonRow(const PortFacts& row) {
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

std::vector<std::string> PortLines(const CtlOptions& options) {
    std::vector<std::string> lines;
    for (int com = 1; com <= kMaxComPort; ++com) {
        if (PortDevicePath(com).empty()) {
            continue;
        }
        const PortFacts row = FactsOfPort(com);
        if (!row.present && !options.all) {
            continue;
        }
        lines.push_back(options.json ? JsonRow(row)
                                     : PortDisplayName(com) + "  " + DescribePortFacts(row));
    }
    return lines;
}
