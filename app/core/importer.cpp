#include "importer.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <unordered_set>

namespace morvane {

namespace {

// Decodes one UTF-8 sequence at `i`; an invalid byte comes back as itself (as a value
// above the Unicode range, so it never folds or collates with a letter).
char32_t NextCodePoint(std::string_view s, size_t& i, size_t& length) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    auto invalid = [&] {
        length = 1;
        return char32_t(0x110000 + c);
    };
    int extra = c < 0x80             ? 0
                : (c & 0xE0) == 0xC0 ? 1
                : (c & 0xF0) == 0xE0 ? 2
                : (c & 0xF8) == 0xF0 ? 3
                                     : -1;
    if (extra < 0 || i + size_t(extra) >= s.size())
        return invalid();
    char32_t cp = extra == 0 ? c : char32_t(c & (0x3F >> extra));
    for (int k = 1; k <= extra; ++k) {
        unsigned char cc = static_cast<unsigned char>(s[i + size_t(k)]);
        if ((cc & 0xC0) != 0x80)
            return invalid();
        cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return invalid();
    length = size_t(extra) + 1;
    return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// The C library's Unicode case tables, independent of the process's own locale.
locale_t Utf8Locale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    return locale;
}

char32_t LowerOf(char32_t cp) {
    if (cp < 0x80)
        return cp >= 'A' && cp <= 'Z' ? cp - 'A' + 'a' : cp;
    if (cp > 0x10FFFF || !Utf8Locale())
        return cp;
    return char32_t(towlower_l(wint_t(cp), Utf8Locale()));
}

// Base letters of U+00C0..U+00FF (lower-cased, accents removed); 0 where none applies.
constexpr std::array<char, 64> kLatin1Base = {
    'a', 'a', 'a', 'a', 'a', 'a', 0,   'c', 'e', 'e', 'e', 'e', 'i', 'i', 'i', 'i',
    'd', 'n', 'o', 'o', 'o', 'o', 'o', 0,   'o', 'u', 'u', 'u', 'u', 'y', 0,   0,
    'a', 'a', 'a', 'a', 'a', 'a', 0,   'c', 'e', 'e', 'e', 'e', 'i', 'i', 'i', 'i',
    'd', 'n', 'o', 'o', 'o', 'o', 'o', 0,   'o', 'u', 'u', 'u', 'u', 'y', 0,   'y'};

struct CollationUnit {
    uint32_t Primary;  // symbols < digits < letters (by base letter) < everything else
    uint32_t Accent;   // the lower-cased code point itself
    bool Upper;
};

CollationUnit UnitOf(char32_t cp) {
    char32_t lower = LowerOf(cp);
    bool upper = lower != cp;
    char32_t base = lower;
    if (lower >= 0xC0 && lower <= 0xFF && kLatin1Base[lower - 0xC0])
        base = char32_t(kLatin1Base[lower - 0xC0]);
    uint32_t primary;
    if (base >= 'a' && base <= 'z') {
        primary = 0x3000 + base;
    } else if (base >= '0' && base <= '9') {
        primary = 0x2000 + base;
    } else if (base < 0x80) {
        primary = 0x1000 + base;
    } else {
        primary = 0x10000 + base;
    }
    return {primary, uint32_t(lower), upper};
}

std::vector<CollationUnit> UnitsOf(std::string_view s) {
    std::vector<CollationUnit> units;
    units.reserve(s.size());
    for (size_t i = 0, n = 0; i < s.size(); i += n)
        units.push_back(UnitOf(NextCodePoint(s, i, n)));
    return units;
}

template <typename Key>
int CompareLevel(const std::vector<CollationUnit>& a, const std::vector<CollationUnit>& b,
                 Key key) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        auto ka = key(a[i]), kb = key(b[i]);
        if (ka != kb)
            return ka < kb ? -1 : 1;
    }
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return 0;
}

std::string UpperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    }
    return s;
}

bool NamesExistingFile(const std::filesystem::path& path) {
    std::error_code ec;
    auto status = std::filesystem::status(path, ec);
    return !ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

bool NamesExistingFolder(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

std::string FoundText(size_t count) {
    return "Searching for images... " + std::to_string(count) + " found";
}

}  // namespace

std::vector<std::string> SplitMasks(std::string_view masks) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= masks.size()) {
        size_t end = masks.find(';', start);
        if (end == std::string_view::npos)
            end = masks.size();
        std::string_view mask = masks.substr(start, end - start);
        size_t b = mask.find_first_not_of(" \t");
        if (b != std::string_view::npos) {
            size_t e = mask.find_last_not_of(" \t");
            out.emplace_back(mask.substr(b, e - b + 1));
        }
        start = end + 1;
    }
    return out;
}

bool MatchesMask(std::string_view name, std::string_view mask) {
    std::string n = FoldCase(name), m = FoldCase(mask);
    // Iterative wildcard match with one back-tracking point for the last "*".
    size_t ni = 0, mi = 0, starM = std::string::npos, starN = 0;
    while (ni < n.size()) {
        if (mi < m.size() && (m[mi] == '?' || m[mi] == n[ni])) {
            ++ni;
            ++mi;
        } else if (mi < m.size() && m[mi] == '*') {
            starM = mi++;
            starN = ni;
        } else if (starM != std::string::npos) {
            mi = starM + 1;
            ni = ++starN;
        } else {
            return false;
        }
    }
    while (mi < m.size() && m[mi] == '*')
        ++mi;
    return mi == m.size();
}

std::string FileExtension(const std::filesystem::path& path) {
    std::string name = path.filename().string();
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

bool IsAdmittedExtension(const std::filesystem::path& path) {
    static const std::array<std::string_view, 10> kAdmitted = {
        ".BMP", ".GIF", ".JPG", ".JPE", ".JPEG", ".PNG", ".J2K", ".JP2", ".ICO", ".TIF"};
    std::string ext = UpperAscii(FileExtension(path));
    return std::find(kAdmitted.begin(), kAdmitted.end(), ext) != kAdmitted.end();
}

std::string FoldCase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0, n = 0; i < text.size(); i += n) {
        char32_t cp = NextCodePoint(text, i, n);
        if (cp > 0x10FFFF) {
            out += text[i];
        } else {
            AppendUtf8(out, LowerOf(cp));
        }
    }
    return out;
}

int CompareDisplayNames(std::string_view a, std::string_view b) {
    auto ua = UnitsOf(a), ub = UnitsOf(b);
    if (int r = CompareLevel(ua, ub, [](const CollationUnit& u) { return u.Primary; }))
        return r;
    if (int r = CompareLevel(ua, ub, [](const CollationUnit& u) { return u.Accent; }))
        return r;
    if (int r = CompareLevel(ua, ub, [](const CollationUnit& u) { return u.Upper; }))
        return r;
    return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
}

size_t InsertSorted(std::vector<ImageEntry>& rows, ImageEntry entry) {
    auto at = std::upper_bound(rows.begin(), rows.end(), entry,
                               [](const ImageEntry& x, const ImageEntry& y) {
                                   return CompareDisplayNames(x.DisplayName, y.DisplayName) < 0;
                               });
    size_t index = size_t(at - rows.begin());
    rows.insert(at, std::move(entry));
    return index;
}

void FolderImport::Search(const std::vector<std::filesystem::path>& pendingPaths,
                          const ProgressText& progress) {
    namespace fs = std::filesystem;
    FoundPaths.clear();
    ImportAborted.store(false);
    const std::vector<std::string> masks = SplitMasks(kSearchMasks);
    auto report = [&] {
        if (progress)
            progress(FoundText(FoundPaths.size()));
    };
    for (const fs::path& path : pendingPaths) {
        if (ImportAborted.load())
            break;
        if (NamesExistingFile(path)) {
            FoundPaths.push_back(path);
        } else if (NamesExistingFolder(path)) {
            std::error_code ec;
            fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied,
                                                ec);
            for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
                if (ImportAborted.load())
                    break;
                std::error_code statusError;
                if (it->is_directory(statusError))
                    continue;
                std::string name = it->path().filename().string();
                bool match = std::any_of(masks.begin(), masks.end(), [&](const std::string& mask) {
                    return MatchesMask(name, mask);
                });
                if (!match)
                    continue;
                FoundPaths.push_back(it->path());
                report();
            }
        }
        report();
    }
}

void FolderImport::Add(const std::vector<ImageEntry>& existingRows, const SizeReader& readSize,
                       const RowSink& addRow, const ProgressText& progress) {
    ImportAborted.store(false);
    std::unordered_set<std::string> known;
    for (const ImageEntry& row : existingRows)
        known.insert(FoldCase(row.FullPath.string()));
    const size_t count = FoundPaths.size();
    for (size_t i = 0; i < count; ++i) {
        if (ImportAborted.load())
            break;
        if (progress)
            progress("Adding images... " + std::to_string(i) + " of " + std::to_string(count));
        const std::filesystem::path& path = FoundPaths[i];
        if (!NamesExistingFile(path) || !IsAdmittedExtension(path))
            continue;
        if (!known.insert(FoldCase(path.string())).second)
            continue;
        ImageEntry entry;
        entry.DisplayName = path.filename().string();
        entry.SizeText = readSize ? readSize(path) : std::string();
        entry.FullPath = path;
        if (addRow)
            addRow(std::move(entry));
    }
}

std::vector<ImageEntry> ImportPaths(const std::vector<std::filesystem::path>& paths,
                                    const FolderImport::SizeReader& readSize) {
    FolderImport import;
    import.Search(paths);
    std::vector<ImageEntry> rows;
    import.Add({}, readSize, [&](ImageEntry entry) { InsertSorted(rows, std::move(entry));
});
return rows;
}  // namespace morvane

}  // namespace morvane
