// The module's serial line as every program opens it: 9600 baud, 8 data bits, no parity, one
// stop bit, and the link's timeouts. Plain numbers: the link's own records are built from them
// above the protocol (controller/ModuleLink.h), so the protocol needs no link.
#pragma once

#include <cstdint>

/// Bits per second.
inline constexpr std::uint32_t kModuleBaudRate = 9600;
/// No parity, as the link's parity letters name it.
inline constexpr char kModuleParity = 'N';
/// Data bits per character.
inline constexpr std::uint32_t kModuleDataBits = 8;
/// Stop bits, in the link's code: 0 one, 1 one and a half, 2 two.
inline constexpr std::uint32_t kModuleStopBits = 0;
/// Each of the link's five timeouts, as CSerialLink::Open takes them.
inline constexpr std::uint32_t kModuleLinkTimeout = 1000;
