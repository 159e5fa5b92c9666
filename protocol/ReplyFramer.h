// Turns the received byte stream back into reply frames.
#pragma once

#include <cstdint>
#include <optional>

#include "CommandFrame.h"

/// Byte-by-byte assembler of reply frames. It hunts for the reply header 01 01, collects
/// three more bytes and accepts the frame when the sixth byte matches the running sum.
///
/// Its losses are deliberate and the start-up synchronisation relies on its repeats to make
/// them good: a stray 01 ahead of a reply shifts the frame and loses it, a reply that lost a
/// byte costs the next reply too, and a failed checksum byte is never re-read as a start
/// byte, even when it is 01.
class ReplyFramer {
public:
    /// Takes one received byte; returns the frame when this byte completed a reply whose
    /// checksum matches. Any command value passes; the caller drops unknown ones.
    std::optional<CommandFrame> Feed(std::uint8_t byte);

    /// The frame byte the next received byte will be (0 to 5).
    std::uint8_t Position() const { return m_position; }

private:
    CommandFrame m_buffer{};
    std::uint8_t m_position = 0;
    std::uint8_t m_runningSum = 0;
};
