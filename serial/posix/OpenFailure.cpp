#include "OpenFailure.h"

#include <cstring>

std::string DescribeOpenFailure(int portNumber, const OpenFailure& failure) {
    if (failure.kind == OpenFailureKind::None) {
        return {};
    }
    std::string text = "COM" + std::to_string(portNumber);
    if (!failure.device.empty()) {
        text += " (" + failure.device + ")";
    }
    text += " cannot be opened";
    if (failure.error != 0) {
        text += std::string(": ") + std::strerror(failure.error);
    }
    return text + ".";
}
