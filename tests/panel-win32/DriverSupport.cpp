#include "DriverSupport.h"

#include <fstream>
#include <sstream>

namespace driver {
namespace {

int g_failures = 0;

struct FindState {
    DWORD pid;
    const char* title;
    HWND found;
};

BOOL CALLBACK FindProc(HWND window, LPARAM lParam) {
    auto* state = reinterpret_cast<FindState*>(lParam);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    if (pid == state->pid && ::IsWindowVisible(window) != FALSE && ClassName(window) == "#32770" &&
        Text(window) == state->title) {
        state->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& done, DWORD deadlineMs) {
    const ULONGLONG end = ::GetTickCount64() + deadlineMs;
    while (!done()) {
        if (::GetTickCount64() >= end) {
            return done();
        }
        ::Sleep(20);
    }
    return true;
}

bool Check(bool passed, const std::string& what, const std::string& detail) {
    if (passed) {
        std::printf("ok   %s\n", what.c_str());
    } else {
        ++g_failures;
        std::printf("FAIL %s%s%s%s\n", what.c_str(), detail.empty() ? "" : " (", detail.c_str(),
                    detail.empty() ? "" : ")");
    }
    std::fflush(stdout);
    return passed;
}

int Failures() {
    return g_failures;
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    // Wine's SendMessageTimeout returns the result itself, so 0 is a failure only with an error.
    ::SetLastError(ERROR_SUCCESS);
    if (::SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, kGenerousMs, &result) ==
            0 &&
        ::GetLastError() != ERROR_SUCCESS) {
        Check(false, "the panel answers message " + std::to_string(message));
        return 0;
    }
    return static_cast<LRESULT>(result);
}

std::string Text(HWND window) {
    char buffer[512] = {};
    Send(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

std::string ClassName(HWND window) {
    char name[64] = {};
    ::GetClassNameA(window, name, sizeof name);
    return name;
}

HWND FindDialog(DWORD pid, const char* title) {
    FindState state{pid, title, nullptr};
    ::EnumWindows(FindProc, reinterpret_cast<LPARAM>(&state));
    return state.found;
}

std::string ReadFileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool TouchFile(const std::string& path) {
    std::ofstream file(path);
    return file.good();
}

bool FileExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace driver
