// The one list of SCPI errors this instrument reports: numbers, texts and the status bit each
// sets. The engine reports from it, and a test checks the README's list of numbers against it.
#pragma once

#include <cstdint>
#include <span>

namespace scpi {

/// An SCPI error number. The hundreds say the class (-1xx command, -2xx execution, -3xx
/// device-specific, -4xx query), which picks the bit of the standard event status register.
enum class Error : int {
    None = 0,                    ///< 0,"No error"
    Command = -100,              ///< a command this instrument cannot take
    Syntax = -102,               ///< characters that break the grammar
    DataType = -104,             ///< a parameter of the wrong kind (a string for a number)
    ParameterNotAllowed = -108,  ///< more parameters than the command takes
    MissingParameter = -109,     ///< fewer parameters than the command needs
    UndefinedHeader = -113,      ///< no such command (or no query form of it)
    HeaderSuffix = -114,         ///< a numeric suffix other than 1 on a header
    InvalidSuffix = -131,        ///< a unit the parameter does not take
    Protected = -203,            ///< a setting while the server is read-only
    OutOfRange = -222,           ///< a value outside the module's range or off its grid
    IllegalValue = -224,         ///< a value the parameter never takes (CHAN FOO, OUTP 2)
    Hardware = -240,             ///< the module did not confirm: no reply, or another value
    HardwareMissing = -241,      ///< the serial port is gone
    QueueOverflow = -350,        ///< more than the queue holds; later errors are lost
    InputOverrun = -363,         ///< a line longer than the input buffer
};

/// One row of the list.
struct ErrorInfo {
    Error error;
    const char* text;  ///< the standard text, e.g. "Syntax error"
};

/// Every error but "No error", from -363 up.
std::span<const ErrorInfo> AllErrors();

/// The standard text of `error`.
const char* ErrorText(Error error);

/// Standard event status register bits (IEEE 488.2).
inline constexpr std::uint8_t kEsrOperationComplete = 0x01;
inline constexpr std::uint8_t kEsrQueryError = 0x04;
inline constexpr std::uint8_t kEsrDeviceError = 0x08;
inline constexpr std::uint8_t kEsrExecutionError = 0x10;
inline constexpr std::uint8_t kEsrCommandError = 0x20;

/// The ESR bit that `error`'s class sets.
std::uint8_t EsrBitOf(Error error);

}  // namespace scpi
