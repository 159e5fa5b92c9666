// The panel's numeric entry field: the template's EDIT control, subclassed to filter typed
// characters.
#pragma once

#include <string_view>

#include "NumberText.h"

struct HWND__;

namespace varnel::win32 {

/// The typing rule as the filter applies it to a WM_CHAR code: AcceptsTypedChar (protocol/).
inline bool AcceptsTypedChar(unsigned c, std::string_view text) {
    return ::AcceptsTypedChar(static_cast<char32_t>(c), text);
}

/// Puts the filter on the edit control `edit`: every WM_CHAR that AcceptsTypedChar refuses is
/// dropped without feedback, everything else goes on to the control. Text set through
/// WM_SETTEXT or pasted is not filtered. The filter goes away with the window.
bool AttachNumberEdit(HWND__* edit);

}  // namespace varnel::win32
