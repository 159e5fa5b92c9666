// XDR (RFC 4506) in and out: big-endian 4-byte units, variable-length items padded to 4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vxi11 {

/// Reads XDR items from a buffer it does not own. A read past the end or over a maximum
/// length fails: the reader stays failed and every later read gives zero, so a decoder reads
/// all its fields and checks Ok() once.
class XdrReader {
public:
    explicit XdrReader(std::string_view bytes) : m_bytes(bytes) {}

    std::uint32_t U32();
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    /// A bool is 0 or 1; any other value fails the read.
    bool Bool();
    /// A variable-length opaque of at most `max` bytes; the view points into the buffer.
    std::string_view Opaque(std::uint32_t max);
    /// A string is read as an opaque: the bytes are the caller's to judge.
    std::string_view String(std::uint32_t max) { return Opaque(max); }
    /// Skips a fixed-length opaque with its padding.
    void Skip(std::size_t length);

    bool Ok() const { return m_ok; }
    std::size_t Remaining() const { return m_bytes.size() - m_at; }
    /// The bytes not read yet.
    std::string_view Rest() const { return m_bytes.substr(m_at); }

private:
    bool Take(std::size_t length);

    std::string_view m_bytes;
    std::size_t m_at = 0;
    bool m_ok = true;
};

/// Appends XDR items to a string. A writer for a TCP record keeps four bytes in front for
/// the record mark, so the finished record is one buffer for one write.
class XdrWriter {
public:
    /// `recordMark`: reserve the record mark (TCP); false for a datagram (UDP).
    explicit XdrWriter(bool recordMark);

    void U32(std::uint32_t value);
    void I32(std::int32_t value) { U32(static_cast<std::uint32_t>(value)); }
    void Bool(bool value) { U32(value ? 1u : 0u); }
    void Opaque(std::string_view bytes);
    void String(std::string_view text) { Opaque(text); }

    /// The finished message: with its record mark (one last fragment) when reserved.
    std::string Take();

private:
    std::string m_out;
    bool m_recordMark;
};

}  // namespace vxi11
