#include "FrameHunter.h"

#include <algorithm>

namespace {

bool IsModuleHeader(std::uint8_t first, std::uint8_t second) {
    return (first == 0x00 && second == 0x01) || (first == 0x01 && second == 0x00);
}

}  // namespace

void FrameHunter::Push(std::uint8_t byte, std::vector<HuntEvent>& out) {
    m_buf[m_len++] = byte;
    Settle(out);
}

void FrameHunter::Flush(std::vector<HuntEvent>& out) {
    if (!m_garbage.empty()) {
        out.push_back({HuntEvent::Type::Garbage, std::move(m_garbage)});
        m_garbage.clear();
    }
}

void FrameHunter::DropFront(std::vector<HuntEvent>& out) {
    if (m_reported > 0) {
        --m_reported;
    } else {
        m_garbage.push_back(m_buf[0]);
        if (m_garbage.size() >= kMaxGarbageRun) {
            Flush(out);
        }
    }
    std::copy(m_buf.begin() + 1, m_buf.begin() + static_cast<std::ptrdiff_t>(m_len), m_buf.begin());
    --m_len;
}

void FrameHunter::Settle(std::vector<HuntEvent>& out) {
    while (m_len > 0) {
        if (m_buf[0] > 0x01 || (m_len >= 2 && !IsModuleHeader(m_buf[0], m_buf[1]))) {
            DropFront(out);
            continue;
        }
        if (m_len < kFrameSize) {
            return;
        }
        const std::vector<std::uint8_t> bytes(m_buf.begin(), m_buf.end());
        if (m_buf[5] == FrameChecksum(m_buf)) {
            Flush(out);
            out.push_back({HuntEvent::Type::Frame, bytes});
            m_len = 0;
            m_reported = 0;
            return;
        }
        if (m_reported == 0) {
            Flush(out);
            out.push_back({HuntEvent::Type::BadChecksum, bytes});
            m_reported = kFrameSize;
        }
        DropFront(out);
    }
}
