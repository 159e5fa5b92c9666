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
            const std::size_t take = std::min(4 - m_markHave, chunk.size());
            std::copy_n(chunk.begin(), take, m_mark + m_markHave);
            m_markHave += take;
            chunk.remove_prefix(take);
            if (m_markHave < 4) {
                return RecordStatus::NeedMore;
            }
            const std::uint32_t mark = std::uint32_t{m_mark[0]} << 24 |
                                       std::uint32_t{m_mark[1]} << 16 |
                                       std::uint32_t{m_mark[2]} << 8 | std::uint32_t{m_mark[3]};
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
