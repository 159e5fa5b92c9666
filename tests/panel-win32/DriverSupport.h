// Helpers of the Win32 panel's end-to-end driver: bounded waits, checks that count failures,
// and reading another process's dialog through window messages.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include <windows.h>

namespace driver {

/// Long enough for a loaded CI machine running Wine: a miss means a fault.
inline constexpr DWORD kGenerousMs = 30000;

/// Until `done` holds or `deadlineMs` has passed, looking every 20 ms.
bool WaitUntil(const std::function<bool()>& done, DWORD deadlineMs = kGenerousMs);

/// Prints "ok  <what>" or "FAIL <what> (<detail>)" and counts failures.
bool Check(bool passed, const std::string& what, const std::string& detail = {});
/// Failures counted by Check so far.
int Failures();

/// SendMessage with a deadline, so a hung panel fails the run instead of hanging it.
LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
/// The window's text (WM_GETTEXT, which Windows copies across processes).
std::string Text(HWND window);
/// The window's class name.
std::string ClassName(HWND window);

/// The top-level window of process `pid` with dialog class and title `title`; nullptr if none.
HWND FindDialog(DWORD pid, const char* title);

/// The whole text of a file that another program is still writing; empty when unreadable.
std::string ReadFileText(const std::string& path);
/// Creates an empty file (a signal to the script that runs the driver).
bool TouchFile(const std::string& path);
/// True when `path` exists.
bool FileExists(const std::string& path);

}  // namespace driver
