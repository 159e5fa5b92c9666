// Finds the panel's set and query frames in the byte stream that reaches the module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "CommandFrame.h"

/// What the hunter made of a stretch of incoming bytes.
struct HuntEvent {
    /// Kind of stretch.
    enum class Type {
        Frame,        ///< a set or query frame with a good checksum (any command code)
        BadChecksum,  ///< a set or query header whose sixth byte is not the checksum
        Garbage,      ///< bytes that start no frame
    };
    Type type;                        ///< what the bytes are
    std::vector<std::uint8_t> bytes;  ///< the bytes themselves, in wire order
};

/// Byte-by-byte framer for the module side. It hunts for a set (00 01) or query (01 00)
/// header, waits for six bytes, and verifies the checksum. After a bad checksum it slides
/// on by one byte only, so a real frame that began inside the bad candidate is still found.
class FrameHunter {
public:
    /// Longest garbage run reported as one event, so log lines stay short.
    static constexpr std::size_t kMaxGarbageRun = 16;

    /// Takes one byte and appends whatever it completes to `out`.
    void Push(std::uint8_t byte, std::vector<HuntEvent>& out);

    /// Reports garbage collected so far; bytes that may still start a frame stay held.
    void Flush(std::vector<HuntEvent>& out);

private:
    void Settle(std::vector<HuntEvent>& out);
    void DropFront(std::vector<HuntEvent>& out);

    CommandFrame m_buf{};
    std::size_t m_len = 0;
    // Leading bytes of m_buf already reported inside a bad-checksum candidate; they are not
    // reported a second time as garbage when the hunt slides past them.
    std::size_t m_reported = 0;
    std::vector<std::uint8_t> m_garbage;
};
