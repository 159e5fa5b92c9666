#include "MessageBoxReporter.h"

// After the project's headers, which declare names that windows.h defines as macros.
#include <windows.h>

namespace varnel::win32 {

void MessageBoxReporter::ShowReport(const std::string& caption, const std::string& text) {
    ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace varnel::win32
