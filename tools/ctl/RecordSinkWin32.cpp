#include "RecordSink.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <string_view>

#include "Win32Error.h"

namespace {

// A path in the device namespace: "COM1", "NUL" and "CON" resolve to \\.\COM1 and the like,
// and \\?\ leads there too unless a drive or a share follows.
bool IsDevicePath(std::string_view full) {
    if (full.starts_with("\\\\.\\")) {
        return true;
    }
    if (!full.starts_with("\\\\?\\")) {
        return false;
    }
    full.remove_prefix(4);
    const bool drive = full.size() >= 3 && full[1] == ':' && full[2] == '\\';
    return !drive && !full.starts_with("UNC\\");
}

}  // namespace

std::FILE* OpenRecordFile(const std::string& path, std::string& error) {
    // Only a plain file: a device may act on being opened (COM1 may be a real line) and a pipe
    // keeps no records. Decided from the name before anything is opened.
    const auto refuse = [&]() -> std::FILE* {
        error = "cannot write " + path + ": not a plain file";
        return nullptr;
    };
    std::string full(MAX_PATH, '\0');
    DWORD length =
        ::GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length =
            ::GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size()) {
        error = "cannot write " + path + ": " + Win32ErrorText(::GetLastError());
        return nullptr;
    }
    full.resize(length);
    const DWORD attributes = ::GetFileAttributesA(full.c_str());
    if (IsDevicePath(full) ||
        (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
        return refuse();
    }
    HANDLE handle = ::CreateFileA(full.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = "cannot write " + path + ": " + Win32ErrorText(::GetLastError());
        return nullptr;
    }
    // What was opened may differ from what was looked at.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        return refuse();
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY);
    if (fd < 0) {
        ::CloseHandle(handle);
        error = "cannot write " + path + ": out of descriptors";
        return nullptr;
    }
    std::FILE* file = ::_fdopen(fd, "w");
    if (file == nullptr) {
        error = "cannot write " + path + ": cannot buffer it";
        ::_close(fd);
    }
    return file;
}

bool ErrorIsTerminal() {
    // The bar redraws its line with escape sequences, which a console draws once asked to.
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return ::GetConsoleMode(error, &mode) != 0 &&
           ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
            ::SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0);
}

void SurviveLostReader() {
    // Nothing to do: Windows has no SIGPIPE, a write to a closed pipe just fails.
}
