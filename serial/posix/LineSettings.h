// The link's line settings as termios values. In serial/ this is the only file that includes
// <termios.h>: glibc's termios and the kernel's <asm/termbits.h> (needed one day for custom
// baud rates) clash, and code that includes SerialLink.h must not get termios' macros.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

#include "LinkSettings.h"

/// The parity that a parity letter selects.
enum class Parity {
    None,   ///< 'N' and every letter not listed below, lower-case letters included
    Odd,    ///< 'O'
    Even,   ///< 'E'
    Mark,   ///< 'M': parity bit always 1
    Space,  ///< 'S': parity bit always 0
};

/// Maps a parity letter; only the upper-case letters E, O, M and S are recognised.
Parity ParityFromLetter(char letter);

/// The termios speed for a baud rate; empty when termios has no constant for it (0 included:
/// B0 would hang the line up).
std::optional<speed_t> SpeedFromBaud(std::uint32_t baudRate);

/// `current` switched to raw mode with the given line settings: cfmakeraw, no XON/XOFF in
/// either direction, CLOCAL and CREAD, no CRTSCTS, VMIN 1 and VTIME 0 (so a non-blocking read
/// says EAGAIN for "no data" and 0 only for a hang-up), the speed both ways, character size,
/// parity (PARENB, PARODD, CMSPAR) and stop bits (CSTOPB). Every other flag stays as in
/// `current`. Empty when the baud rate, data bits or stop-bits code cannot be expressed (the
/// Win32 SetCommState refuses those too): data bits 5 to 8; stop code 0, 1 with 5 data bits
/// (the UART sends 1.5 stop bits for CSTOPB with 5-bit characters), 2 with 6 to 8 data bits.
/// Pure: touches no device.
std::optional<termios> RawLineSettings(const termios& current, const LineParameters& line);
