#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

// A Windows-style INI text file held as its lines, read and updated the way the
// profile-string services of that platform do it: section and key names compare
// without regard to ASCII case, the first occurrence of a key wins, blanks around
// names and values do not count and one pair of matching quotes around a value is
// removed. Writing a key replaces its line in place or adds it at the end of its
// section (the section is appended when missing), so lines the program does not know
// survive a save.
class IniFile {
  public:
    // Longest text a read returns, in bytes (the reader's 2048-byte buffer with its
    // terminating zero).
    static constexpr size_t kMaxTextLength = 2047;

    IniFile() = default;
    // Reads `file`; a missing or unreadable file gives an empty one.
    explicit IniFile(const std::filesystem::path& file);

    // The value of a key with blanks and one pair of quotes removed, or nothing when
    // the section or the key is missing.
    std::optional<std::string> Value(std::string_view section, std::string_view key) const;

    // Text up to kMaxTextLength bytes (cut at a UTF-8 character boundary).
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view fallback) const;
    // A missing key or a value that does not parse as a number gives `fallback`.
    int32_t ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const;
    // Read as an integer; any non-zero value is true.
    bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;

    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int32_t value);
    void WriteBool(std::string_view section, std::string_view key, bool value);  // "1" / "0"

    // Writes the lines to `file` through a temporary file renamed over it, creating
    // the folder when it is missing. False when any step fails; the old file is then
    // untouched.
    bool Save(const std::filesystem::path& file) const;

    const std::vector<std::string>& Lines() const { return m_lines; }

  private:
    // Index of the section's header line, or -1.
    long FindSection(std::string_view section) const;
    // Index of the key's line inside the section starting after `header`, or -1.
    long FindKey(long header, std::string_view key) const;

    std::vector<std::string> m_lines;
};

// Integer text as the settings file's reader takes it: optional blanks and sign, then
// decimal digits, or hexadecimal digits after "$" or "0x"; nothing else may follow.
// Hexadecimal values up to FFFFFFFF wrap into the signed range; a decimal value outside
// it, an empty text or junk gives nothing.
std::optional<int32_t> ParseIniInteger(std::string_view text);

}  // namespace morvane
