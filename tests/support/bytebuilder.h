#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace morvane::test {

// Builds small binary fixtures field by field, so a test reads like the format's layout.
class ByteBuilder {
  public:
    ByteBuilder& U8(uint8_t v) {
        m_bytes.push_back(v);
        return *this;
    }
    ByteBuilder& Le16(uint16_t v) { return U8(uint8_t(v)).U8(uint8_t(v >> 8)); }
    ByteBuilder& Be16(uint16_t v) { return U8(uint8_t(v >> 8)).U8(uint8_t(v)); }
    ByteBuilder& Le32(uint32_t v) { return Le16(uint16_t(v)).Le16(uint16_t(v >> 16)); }
    ByteBuilder& Be32(uint32_t v) { return Be16(uint16_t(v >> 16)).Be16(uint16_t(v)); }
    ByteBuilder& U16(bool little, uint16_t v) { return little ? Le16(v) : Be16(v); }
    ByteBuilder& U32(bool little, uint32_t v) { return little ? Le32(v) : Be32(v); }
    ByteBuilder& Text(std::string_view s) {
        m_bytes.insert(m_bytes.end(), s.begin(), s.end());
        return *this;
    }
    ByteBuilder& Fill(size_t count, uint8_t v) {
        m_bytes.insert(m_bytes.end(), count, v);
        return *this;
    }
    ByteBuilder& Append(const std::vector<uint8_t>& bytes) {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        return *this;
    }
    size_t Size() const { return m_bytes.size(); }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }
    operator const std::vector<uint8_t>&() const { return m_bytes; }

  private:
    std::vector<uint8_t> m_bytes;
};

}  // namespace morvane::test
