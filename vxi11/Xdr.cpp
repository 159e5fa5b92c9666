#include "Xdr.h"

namespace vxi11 {

namespace {

constexpr std::size_t Padded(std::size_t length) {
    return (length + 3) & ~std::size_t{3};
}

}  // namespace

bool XdrReader::Take(std::size_t length) {
    if (!m_ok || length > Remaining()) {
        m_ok = false;
        return false;
    }
    m_at += length;
    return true;
}

std::uint32_t XdrReader::U32() {
    const std::size_t at = m_at;
    if (!Take(4)) {
        return 0;
    }
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(m_bytes[at + i]); };
    return std::uint32_t{byte(0)} << 24 | std::uint32_t{byte(1)} << 16 |
           std::uint32_t{byte(2)} << 8 | std::uint32_t{byte(3)};
}

bool XdrReader::Bool() {
    const std::uint32_t value = U32();
    if (value > 1) {
        m_ok = false;
        return false;
    }
    return value == 1;
}

std::string_view XdrReader::Opaque(std::uint32_t max) {
    const std::uint32_t length = U32();
    if (length > max) {
        m_ok = false;
    }
    const std::size_t at = m_at;
    // The padding is checked for room only: RFC 4506 asks senders for zeros, readers may
    // ignore them.
    if (!m_ok || !Take(Padded(length))) {
        return {};
    }
    return m_bytes.substr(at, length);
}

void XdrReader::Skip(std::size_t length) {
    Take(Padded(length));
}

XdrWriter::XdrWriter(bool recordMark) : m_recordMark(recordMark) {
    m_out.reserve(128);
    if (recordMark) {
        m_out.append(4, '\0');
    }
}

void XdrWriter::U32(std::uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    m_out.append(bytes, 4);
}

void XdrWriter::Opaque(std::string_view bytes) {
    U32(static_cast<std::uint32_t>(bytes.size()));
    m_out.append(bytes);
    m_out.append(Padded(bytes.size()) - bytes.size(), '\0');
}

std::string XdrWriter::Take() {
    if (m_recordMark) {
        // One fragment, the last: the top bit of the mark, then the length.
        const std::uint32_t mark = 0x80000000u | static_cast<std::uint32_t>(m_out.size() - 4);
        for (int i = 0; i < 4; ++i) {
            m_out[static_cast<std::size_t>(i)] = static_cast<char>(mark >> (24 - 8 * i));
        }
    }
    return std::move(m_out);
}

}  // namespace vxi11
