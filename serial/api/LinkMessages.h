// Notification numbers and port-event classes of the serial link.
#pragma once

#include <cstdint>

// windows.h defines WM_USER and the EV_* classes as macros with these same values; the
// declarations stand in for them elsewhere, so this header works before or after it.
#ifndef WM_USER
/// First message number free for the program's own notifications.
inline constexpr unsigned WM_USER = 0x0400;
#endif

/// Notifications the link delivers to its owner; lParam is always the port number.
inline constexpr unsigned WM_LINK_BREAK = WM_USER + 1;   ///< break on the line, wParam 0
inline constexpr unsigned WM_LINK_CTS = WM_USER + 2;     ///< CTS changed, wParam 0
inline constexpr unsigned WM_LINK_ERR = WM_USER + 4;     ///< line error, wParam 0
inline constexpr unsigned WM_LINK_RING = WM_USER + 5;    ///< ring indicator, wParam 0
inline constexpr unsigned WM_LINK_RXCHAR = WM_USER + 7;  ///< one received byte in wParam
inline constexpr unsigned WM_LINK_RXFLAG = WM_USER + 8;  ///< event character seen, wParam 0

/// Port-event classes of the event mask, in the order the monitor handles them.
#ifndef EV_RXCHAR
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_RXFLAG = 0x0002;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;
#endif
