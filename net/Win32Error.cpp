#include "Win32Error.h"

#include <windows.h>

std::string Win32ErrorText(unsigned long code) {
    char* system = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&system),
        0, nullptr);
    std::string text = length != 0 && system != nullptr ? std::string(system, length)
                                                        : "error " + std::to_string(code);
    if (system != nullptr) {
        ::LocalFree(system);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    return text;
}
