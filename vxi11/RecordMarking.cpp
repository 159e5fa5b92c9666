#include "RecordMarking.h"

#include <algorithm>

namespace vxi11 {

RecordStatus RecordReassembler::Next(std::string_view& chunk) {
    if (m_refused) {
        chunk = {};
        return RecordStatus::TooLarge;
    }
    while (!chunk.empty()) {
        if (!m_inFragment) {
            while (m_markHave < 4 && !chunk.empty()) {
                m_mark = m_mark << 8 | static_cast<std::uint8_t>(chunk.front());
                chunk.remove_prefix(1);
                ++m_markHave;
            }
            if (m_markHave < 4) {
                return RecordStatus::NeedMore;
            }
            const std::uint32_t mark = m_mark;
            m_markHave = 0;
            m_last = (mark & 0x80000000u) != 0;
            m_fragmentLeft = mark & 0x7FFFFFFFu;
            if (m_fragmentLeft > m_max - m_record.size()) {
                m_refused = true;
                m_record.clear();
                m_record.shrink_to_fit();
                chunk = {};
                return RecordStatus::TooLarge;
            }
            m_inFragment = true;
        }
        const std::size_t take = std::min(m_fragmentLeft, chunk.size());
        m_record.append(chunk.substr(0, take));
        chunk.remove_prefix(take);
        m_fragmentLeft -= take;
        if (m_fragmentLeft > 0) {
            return RecordStatus::NeedMore;
        }
        m_inFragment = false;
        if (m_last) {
            m_done.swap(m_record);
            m_record.clear();
            return RecordStatus::Record;
        }
    }
    return RecordStatus::NeedMore;
}

}  // namespace vxi11
