// The panel's dialog as an in-memory extended dialog template (DLGTEMPLATEEX), built from the
// one template table in resources/, so the layout exists once for both front ends.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "DialogTemplate.h"

namespace varnel::win32 {

/// Window styles of the dialog itself: a popup with a title bar, system menu and close box,
/// a fixed modal frame and the template's font. No minimise or maximise box.
inline constexpr std::uint32_t kDialogStyle = 0x80000000u     // WS_POPUP
                                              | 0x10000000u   // WS_VISIBLE
                                              | 0x00C00000u   // WS_CAPTION
                                              | 0x00080000u   // WS_SYSMENU
                                              | 0x00000080u   // DS_MODALFRAME
                                              | 0x00000040u;  // DS_SETFONT
/// The dialog's own taskbar button (WS_EX_APPWINDOW).
inline constexpr std::uint32_t kDialogExStyle = 0x00040000u;

/// The window class a template entry creates, as the dialog manager names it.
const char* WindowClassName(ControlClass kind);

/// The window style a control is created with: its group's bits, except that the port list
/// drops CBS_SORT. A plain combo box honours that flag and would sort "COM10" before "COM9",
/// while list positions must stay in the order of the port table.
std::uint32_t ControlStyle(const ControlTemplate& control);

/// The extended dialog template for `dialog` with `controls` in their order (creation and Tab
/// order), in DWORD-aligned storage as DialogBoxIndirect and CreateDialogIndirect take it.
/// Texts are UTF-8 in the table and UTF-16 in the template.
std::vector<std::uint32_t> BuildDialogTemplate(const DialogTemplate& dialog,
                                               std::span<const ControlTemplate> controls);

}  // namespace varnel::win32
