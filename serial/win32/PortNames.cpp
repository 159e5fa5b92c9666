// The COM-port namespace on Win32: COMn is the device \\.\COMn itself.
#include "PortNames.h"

#include <windows.h>

std::string PortDevicePath(int com) {
    if (com < 1 || com > kMaxComPort) {
        return {};
    }
    return "\\\\.\\COM" + std::to_string(com);
}

bool PortExists(int com) {
    const std::string device = PortDevicePath(com);
    if (device.empty()) {
        return false;
    }
    // No access rights asked for: the probe neither reads, writes nor configures the line,
    // and a port another program holds still answers, as in use.
    HANDLE handle = ::CreateFileA(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    }
    // Wine opens a COM link that leads nowhere as well, with no access rights asked for; only
    // a real serial device is a character device.
    const bool isDevice = ::GetFileType(handle) == FILE_TYPE_CHAR;
    ::CloseHandle(handle);
    return isDevice;
}

std::vector<int> ListPorts() {
    std::vector<int> ports;
    for (int com = 1; com <= kMaxComPort; ++com) {
        if (PortExists(com)) {
            ports.push_back(com);
        }
    }
    return ports;
}
