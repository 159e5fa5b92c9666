#include "NumberEdit.h"

#include <string>

// After the project's headers, which declare names that windows.h defines as macros.
#include <windows.h>

#include <commctrl.h>

namespace varnel::win32 {
namespace {

constexpr UINT_PTR kSubclassId = 1;

std::string WindowText(HWND window) {
    const int length = ::GetWindowTextLengthA(window);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = ::GetWindowTextA(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return text;
}

LRESULT CALLBACK FilterProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                            UINT_PTR /*id*/, DWORD_PTR /*data*/) {
    switch (message) {
        case WM_CHAR: {
            const auto c = static_cast<unsigned>(wParam);
            // Only "-" and "." depend on the text; read it just for them.
            const bool needsText = c == '-' || c == '.';
            if (!AcceptsTypedChar(c, needsText ? WindowText(window) : std::string())) {
                return 0;
            }
            break;
        }
        case WM_NCDESTROY:
            ::RemoveWindowSubclass(window, FilterProc, kSubclassId);
            break;
        default:
            break;
    }
    return ::DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace

bool AttachNumberEdit(HWND__* edit) {
    return edit != nullptr && ::SetWindowSubclass(edit, FilterProc, kSubclassId, 0) != FALSE;
}

}  // namespace varnel::win32
