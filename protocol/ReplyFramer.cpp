#include "ReplyFramer.h"

std::optional<CommandFrame> ReplyFramer::Feed(std::uint8_t byte) {
    m_buffer[m_position] = byte;
    switch (m_position) {
        case 0:
            if (byte == 0x01) {
                m_position = 1;
            }
            return std::nullopt;
        case 1:
            if (byte == 0x01) {
                m_position = 2;
                m_runningSum = 2;
            } else {
                m_position = 0;
            }
            return std::nullopt;
        case 2:
        case 3:
        case 4:
            m_runningSum = static_cast<std::uint8_t>(m_runningSum + byte);
            ++m_position;
            return std::nullopt;
        default:
            // The checksum byte is consumed either way; it is never taken as a new start.
            m_position = 0;
            if (byte == m_runningSum) {
                return m_buffer;
            }
            return std::nullopt;
    }
}
