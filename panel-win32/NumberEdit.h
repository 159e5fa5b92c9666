// The panel's numeric entry field: the template's EDIT control, subclassed to filter typed
// characters.
#pragma once

#include <string_view>

struct HWND__;

namespace varnel::win32 {

/// Whether the character code `c` typed into a field that holds `text` gets through: backspace
/// and digits always; "-" only into an empty field; "." only into a non-empty field that has
/// none yet. The checks look at the whole text, never at the caret or the selection.
bool AcceptsTypedChar(unsigned c, std::string_view text);

/// Puts the filter on the edit control `edit`: every WM_CHAR that AcceptsTypedChar refuses is
/// dropped without feedback, everything else goes on to the control. Text set through
/// WM_SETTEXT or pasted is not filtered. The filter goes away with the window.
bool AttachNumberEdit(HWND__* edit);

}  // namespace varnel::win32
