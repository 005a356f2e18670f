#include "inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <system_error>

namespace morvane {

namespace {

std::string_view Trim(std::string_view s) {
    size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string_view::npos)
        return {};
    size_t end = s.find_last_not_of(" \t");
    return s.substr(begin, end - begin + 1);
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

// The name of a section header line ("[name]"), or nothing for other lines.
std::optional<std::string_view> SectionName(std::string_view line) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() != '[')
        return std::nullopt;
    size_t close = t.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

bool IsComment(std::string_view line) {
    std::string_view t = Trim(line);
    return !t.empty() && t.front() == ';';
}

// Key part of a "key=value" line, or nothing.
std::optional<std::string_view> KeyName(std::string_view line) {
    if (IsComment(line))
        return std::nullopt;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    return Trim(line.substr(0, eq));
}

std::string_view StripQuotes(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

// A value that would lose its outer blanks or quotes on reading is written quoted.
std::string ValueText(std::string_view value) {
    bool needsQuotes =
        !value.empty() && (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
                           value.back() == '\t' ||
                           (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                            value.back() == value.front()));
    if (!needsQuotes)
        return std::string(value);
    return "\"" + std::string(value) + "\"";
}

// Cuts at most `limit` bytes without splitting a UTF-8 sequence.
std::string CutUtf8(std::string_view s, size_t limit) {
    if (s.size() <= limit)
        return std::string(s);
    size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
        --n;
    return std::string(s.substr(0, n));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

std::optional<int32_t> ParseIniInteger(std::string_view text) {
    std::string_view s = Trim(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    bool hex = false;
    if (!s.empty() && s.front() == '$') {
        hex = true;
        s.remove_prefix(1);
    } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        hex = true;
        s.remove_prefix(2);
    }
    if (s.empty())
        return std::nullopt;
    uint64_t value = 0;
    if (hex) {
        for (char c : s) {
            int d = HexDigit(c);
            if (d < 0)
                return std::nullopt;
            value = value * 16 + uint64_t(d);
            if (value > 0xFFFFFFFFu)
                return std::nullopt;
        }
        uint32_t bits = uint32_t(value);
        if (negative)
            bits = 0u - bits;
        return int32_t(bits);
    }
    for (char c : s) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + uint64_t(c - '0');
        if (value > 2147483648u)
            return std::nullopt;
    }
    if (negative)
        return int32_t(-int64_t(value));
    if (value > 2147483647u)
        return std::nullopt;
    return int32_t(value);
}

IniFile::IniFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return;
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (first && line.starts_with("\xEF\xBB\xBF"))
            line.erase(0, 3);
        first = false;
        m_lines.push_back(std::move(line));
    }
}

long IniFile::FindSection(std::string_view section) const {
    for (size_t i = 0; i < m_lines.size(); ++i) {
        auto name = SectionName(m_lines[i]);
        if (name && SameName(*name, section))
            return long(i);
    }
    return -1;
}

long IniFile::FindKey(long header, std::string_view key) const {
    for (size_t i = size_t(header) + 1; i < m_lines.size(); ++i) {
        if (SectionName(m_lines[i]))
            break;
        auto name = KeyName(m_lines[i]);
        if (name && SameName(*name, key))
            return long(i);
    }
    return -1;
}

std::optional<std::string> IniFile::Value(std::string_view section, std::string_view key) const {
    long header = FindSection(section);
    if (header < 0)
        return std::nullopt;
    long line = FindKey(header, key);
    if (line < 0)
        return std::nullopt;
    std::string_view text = m_lines[size_t(line)];
    return std::string(StripQuotes(Trim(text.substr(text.find('=') + 1))));
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view fallback) const {
    auto value = Value(section, key);
    return CutUtf8(value ? std::string_view(*value) : fallback, kMaxTextLength);
}

int32_t IniFile::ReadInteger(std::string_view section, std::string_view key,
                             int32_t fallback) const {
    auto value = Value(section, key);
    if (!value)
        return fallback;
    return ParseIniInteger(*value).value_or(fallback);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
    return ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    std::string line = std::string(key) + "=" + ValueText(value);
    long header = FindSection(section);
    if (header < 0) {
        if (!m_lines.empty() && !Trim(m_lines.back()).empty())
            m_lines.emplace_back();
        m_lines.push_back("[" + std::string(section) + "]");
        m_lines.push_back(std::move(line));
        return;
    }
    long existing = FindKey(header, key);
    if (existing >= 0) {
        m_lines[size_t(existing)] = std::move(line);
        return;
    }
    // After the section's last non-blank line, so a blank line before the next
    // section stays where it is.
    size_t insertAt = size_t(header) + 1;
    for (size_t i = size_t(header) + 1; i < m_lines.size(); ++i) {
        if (SectionName(m_lines[i]))
            break;
        if (!Trim(m_lines[i]).empty())
            insertAt = i + 1;
    }
    m_lines.insert(m_lines.begin() + long(insertAt), std::move(line));
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

bool IniFile::Save(const std::filesystem::path& file) const {
    std::error_code ec;
    std::filesystem::path folder = file.parent_path();
    if (!folder.empty())
        std::filesystem::create_directories(folder, ec);

    std::string text;
    for (const std::string& line : m_lines) {
        text += line;
        text += '\n';
    }
    std::string temp = (folder.empty() ? std::filesystem::path(".") : folder).string() + "/." +
                       file.filename().string() + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0)
        return false;
    const char* p = text.data();
    size_t left = text.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= size_t(n);
    }
    // mkstemp creates 0600; keep the mode of the file replaced, else an ordinary one.
    struct stat old {};
    mode_t mode = stat(file.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    if (ok)
        ok = fchmod(fd, mode) == 0;
    if (close(fd) != 0)
        ok = false;
    if (ok)
        ok = std::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok)
        unlink(temp.c_str());
    return ok;
}

}  // namespace morvane
