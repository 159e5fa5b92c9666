#include "OpenFailure.h"

#include <windows.h>

std::string DescribeOpenFailure(int portNumber, const OpenFailure& failure) {
    if (failure.kind == OpenFailureKind::None) {
        return {};
    }
    std::string text = "COM" + std::to_string(portNumber) + " cannot be opened";
    if (failure.kind == OpenFailureKind::Busy) {
        text += ": another program is using it";
    } else if (failure.error != 0) {
        char* system = nullptr;
        const DWORD length = ::FormatMessageA(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, static_cast<DWORD>(failure.error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
            reinterpret_cast<char*>(&system), 0, nullptr);
        std::string reason = length != 0 && system != nullptr
                                 ? std::string(system, length)
                                 : "error " + std::to_string(failure.error);
        if (system != nullptr) {
            ::LocalFree(system);
        }
        // The system's text ends with a full stop and a line break of its own.
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                                   reason.back() == ' ' || reason.back() == '.')) {
            reason.pop_back();
        }
        text += ": " + reason;
    }
    return text + ".";
}
