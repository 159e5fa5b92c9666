// ONC RPC over TCP (RFC 5531, record marking): each record is a run of fragments, each behind
// a 4-byte mark whose top bit says "last fragment" and whose low 31 bits give its length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vxi11 {

/// What RecordReassembler::Next found.
enum class RecordStatus {
    NeedMore,  ///< the chunk is used up without completing a record
    Record,    ///< Record() holds a complete record
    TooLarge,  ///< a fragment mark announced more than the limit: close the connection
};

/// Joins the fragments of a TCP byte stream into records, fed chunks of any size. A fragment
/// that would take the record over the limit is refused by its mark, before its body is
/// buffered; the reassembler then stays refused, as the stream has lost its framing.
class RecordReassembler {
public:
    explicit RecordReassembler(std::size_t maxRecordBytes) : m_max(maxRecordBytes) {}

    /// Consumes bytes from the front of `chunk` up to the end of the next record (or of the
    /// chunk); call again with the rest while it returns Record.
    RecordStatus Next(std::string_view& chunk);
    /// The record Next last completed; valid until the next call of Next.
    std::string_view Record() const { return m_done; }
    /// Bytes held of a record not complete yet (the mark included).
    std::size_t Buffered() const { return m_record.size() + m_markHave; }

private:
    std::size_t m_max;
    std::string m_record;            // the fragments so far of the record being joined
    std::string m_done;              // the last completed record
    std::uint32_t m_mark = 0;        // the current mark's bytes so far
    std::size_t m_markHave = 0;      // bytes of the current mark read
    std::size_t m_fragmentLeft = 0;  // body bytes of the current fragment still to come
    bool m_inFragment = false;
    bool m_last = false;  // the current fragment ends the record
    bool m_refused = false;
};

}  // namespace vxi11
