#pragma once
// Bounded reading of file data held in memory. Every getter stays inside the span: past the
// end it yields zeros and sets a sticky failed() flag, so a parser can read a whole header
// and check once, instead of testing before each field.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace lumaprep {

class ByteReader {
 public:
  ByteReader() = default;
  ByteReader(const uint8_t* data, size_t size) : m_data(data), m_size(data ? size : 0) {}
  explicit ByteReader(std::span<const uint8_t> bytes) : ByteReader(bytes.data(), bytes.size()) {}
  explicit ByteReader(const std::vector<uint8_t>& bytes) : ByteReader(bytes.data(), bytes.size()) {}

  size_t size() const { return m_size; }
  size_t position() const { return m_pos; }
  size_t remaining() const { return m_pos < m_size ? m_size - m_pos : 0; }
  bool failed() const { return m_failed; }
  bool atEnd() const { return m_pos >= m_size; }
  const uint8_t* data() const { return m_data; }
  // Pointer to the current position (nullptr at the end); valid for remaining() bytes.
  const uint8_t* current() const { return m_pos < m_size ? m_data + m_pos : nullptr; }

  // Moves to an absolute offset; past the end sets failed() and leaves the reader at the end.
  void seek(size_t offset) {
    if (offset > m_size) {
      m_failed = true;
      m_pos = m_size;
    } else {
      m_pos = offset;
    }
  }
  // Skips count bytes; running past the end sets failed().
  void skip(size_t count) {
    if (count > remaining()) {
      m_failed = true;
      m_pos = m_size;
    } else {
      m_pos += count;
    }
  }
  // True when count more bytes are available (does not set failed()).
  bool has(size_t count) const { return count <= remaining(); }

  uint8_t u8() {
    if (m_pos >= m_size) {
      m_failed = true;
      return 0;
    }
    return m_data[m_pos++];
  }
  int8_t i8() { return static_cast<int8_t>(u8()); }

  uint16_t u16le() {
    const uint8_t* b = take(2);
    return b ? static_cast<uint16_t>(b[0] | (b[1] << 8)) : 0;
  }
  uint16_t u16be() {
    const uint8_t* b = take(2);
    return b ? static_cast<uint16_t>((b[0] << 8) | b[1]) : 0;
  }
  uint32_t u32le() {
    const uint8_t* b = take(4);
    return b ? static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                   (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24)
             : 0;
  }
  uint32_t u32be() {
    const uint8_t* b = take(4);
    return b ? (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
                   (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3])
             : 0;
  }
  int16_t i16le() { return static_cast<int16_t>(u16le()); }
  int16_t i16be() { return static_cast<int16_t>(u16be()); }
  int32_t i32le() { return static_cast<int32_t>(u32le()); }
  int32_t i32be() { return static_cast<int32_t>(u32be()); }
  uint16_t u16(bool bigEndian) { return bigEndian ? u16be() : u16le(); }
  uint32_t u32(bool bigEndian) { return bigEndian ? u32be() : u32le(); }

  // Copies count bytes; the part past the end is zero-filled and sets failed().
  void bytes(void* dst, size_t count) {
    const size_t avail = remaining();
    const size_t n = count < avail ? count : avail;
    if (n > 0) std::memcpy(dst, m_data + m_pos, n);
    if (n < count) {
      std::memset(static_cast<uint8_t*>(dst) + n, 0, count - n);
      m_failed = true;
    }
    m_pos += n;
  }
  // A view of the next count bytes (empty and failed() when fewer remain).
  std::span<const uint8_t> span(size_t count) {
    if (count > remaining()) {
      m_failed = true;
      m_pos = m_size;
      return {};
    }
    std::span<const uint8_t> s(m_data + m_pos, count);
    m_pos += count;
    return s;
  }
  // A reader over the next count bytes (the sub-reader fails on its own; this one skips).
  ByteReader sub(size_t count) {
    auto s = span(count);
    return ByteReader(s.data(), s.size());
  }

 private:
  // The next n bytes, or nullptr (failed, reader at the end) when fewer remain: a value cut by
  // the end of the data reads as 0, never as a mix of data and padding.
  const uint8_t* take(size_t n) {
    if (n > remaining()) {
      m_failed = true;
      m_pos = m_size;
      return nullptr;
    }
    const uint8_t* p = m_data + m_pos;
    m_pos += n;
    return p;
  }

  const uint8_t* m_data = nullptr;
  size_t m_size = 0;
  size_t m_pos = 0;
  bool m_failed = false;
};

}  // namespace lumaprep
