#include "fileformats.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <system_error>
#include <vector>

#include "checkedsize.h"
#include "streams.h"

namespace morvane {

namespace {

// The order is significant: extension lookups take the first row that matches.
const std::array<TFileFormatInfo, 24> kFormatTable{{
    {ftTIFF, "TIFF Bitmap", "TIF;TIFF;FAX;G3N;G3F;XIF", true, true, true},
    {ftGIF, "CompuServe Bitmap", "GIF", true, true, true},
    {ftJPEG, "JPEG Bitmap", "JPG;JPEG;JPE;JIF", true, true, true},
    {ftPCX, "PaintBrush", "PCX", true, true, true},
    {ftBMP, "Windows Bitmap", "BMP;DIB;RLE", true, true, true},
    {ftICO, "Windows Icon", "ICO", true, true, true},
    {ftCUR, "Windows Cursor", "CUR", true, true, false},
    {ftPNG, "Portable Network Graphics", "PNG", true, true, true},
    {ftDICOM, "DICOM Bitmap", "DCM;DIC;DICOM", true, true, false},
    {ftWMF, "Windows Metafile", "WMF", true, true, false},
    {ftEMF, "Enhanced Windows Metafile", "EMF", true, true, false},
    {ftTGA, "Targa Bitmap", "TGA;TARGA;VDA;ICB;VST;PIX", true, true, true},
    {ftPXM, "Portable Pixmap, GrayMap, BitMap", "PXM;PPM;PGM;PBM", true, true, true},
    {ftWBMP, "Wireless Bitmap", "WBMP", true, true, true},
    {ftJP2, "JPEG2000", "JP2", true, true, true},
    {ftJ2K, "JPEG2000 Code Stream", "J2K;JPC;J2C", true, true, true},
    {ftPS, "PostScript Level 2", "PS;EPS", true, false, true},
    {ftPDF, "Adobe PDF", "PDF", true, false, true},
    {ftDCX, "Multipage PCX", "DCX", true, true, true},
    {ftRAW, "Camera RAW", "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR;SR2", true, true, false},
    {ftPSD, "Photoshop PSD", "PSD", true, true, true},
    {ftVEC, "Vectorial objects", "VEC", true, true, true},
    {ftLYR, "Layers", "LYR", true, true, true},
    {ftALL, "Layers and objects", "ALL", true, true, true},
}};

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint16_t Be16(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}
uint32_t Le32(const uint8_t* p) {
    return uint32_t(Le16(p)) | (uint32_t(Le16(p + 2)) << 16);
}
uint32_t Be32(const uint8_t* p) {
    return (uint32_t(Be16(p)) << 16) | Be16(p + 2);
}

// The bytes from the detection start, as far as they were read.
struct Head {
    std::vector<uint8_t> bytes;
    int64_t size = 0;  // bytes from the start position to the end of the stream

    bool Has(size_t offset, std::string_view text) const {
        return offset + text.size() <= bytes.size() &&
               std::memcmp(bytes.data() + offset, text.data(), text.size()) == 0;
    }
    // The 4-character block header a stream save writes: tag, then a zero byte.
    bool HasBlockHeader(std::string_view tag) const {
        return Has(0, tag) && bytes.size() > tag.size() && bytes[tag.size()] == 0;
    }
};

// Reads `count` bytes at `offset` from the detection start; false when they are not all
// there.
bool ReadAt(TStream& stream, int64_t start, int64_t offset, size_t count,
            std::vector<uint8_t>& out) {
    out.resize(count);
    stream.Seek(start + offset);
    return stream.ReadExact(out.data(), count);
}

// The first TIFF directory (TIFF 6.0, section 2): the tags detection cares about.
struct FirstDirectory {
    bool hasWidth = false, hasLength = false;
    uint32_t width = 0, length = 0;
    bool hasSubIfds = false;       // 330
    bool hasEpStandardId = false;  // 37398, TIFF/EP
    bool dngVersion = false;       // 50706 of type BYTE, count 4
    bool rawPhotometric = false;   // 262 SHORT, count 1: CFA (32803) or LinearRaw (34892)
};

bool ParseFirstDirectory(TStream& stream, const Head& head, int64_t start, FirstDirectory& dir) {
    if (head.size <= 8 || head.bytes.size() < 9)
        return false;
    bool little;
    uint32_t offset;
    if (head.Has(0, "II")) {
        little = true;
        offset = Le32(&head.bytes[4]);
        if (int64_t(offset) >= head.size)
            return false;
    } else if (head.Has(0, "MM")) {
        little = false;
        offset = Be32(&head.bytes[4]);
        if (int64_t(offset) >= head.size || head.bytes[8] == 0xBA)
            return false;
    } else {
        return false;
    }
    auto u16 = [little](const uint8_t* p) { return little ? Le16(p) : Be16(p); };
    auto u32 = [little](const uint8_t* p) { return little ? Le32(p) : Be32(p); };

    std::vector<uint8_t> data;
    if (!ReadAt(stream, start, offset, 2, data))
        return false;
    uint16_t count = u16(data.data());
    auto end = CheckedAdd(uint64_t(offset) + 2, uint64_t(count) * 12);
    if (count == 0 || !end || *end > uint64_t(head.size))
        return false;
    if (!ReadAt(stream, start, int64_t(offset) + 2, size_t(count) * 12, data))
        return false;

    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* entry = data.data() + size_t(i) * 12;
        uint16_t tag = u16(entry), type = u16(entry + 2);
        uint32_t n = u32(entry + 4);
        // A single SHORT sits in the first two bytes of the value field, in either order.
        uint32_t value = type == 3 ? u16(entry + 8) : u32(entry + 8);
        switch (tag) {
            case 256:
                dir.hasWidth = true;
                dir.width = value;
                break;
            case 257:
                dir.hasLength = true;
                dir.length = value;
                break;
            case 262:
                if (type == 3 && n == 1 && (value == 32803 || value == 34892))
                    dir.rawPhotometric = true;
                break;
            case 330:
                dir.hasSubIfds = true;
                break;
            case 37398:
                dir.hasEpStandardId = true;
                break;
            case 50706:
                if (type == 1 && n == 4)
                    dir.dngVersion = true;
                break;
            default:
                break;
        }
    }
    return dir.hasWidth && dir.hasLength;
}

// A TIFF-structured camera raw file (DNG, CFA or linear raw data, or a TIFF/EP file
// whose first directory only holds a small preview).
bool IsCameraRaw(const FirstDirectory& dir) {
    return dir.dngVersion || dir.rawPhotometric ||
           (dir.hasSubIfds && dir.hasEpStandardId && dir.width < 200 && dir.length < 200);
}

// The icon (resourceType 1) and cursor (2) directory: a 6-byte header and 16-byte entries.
bool IsIconDirectory(TStream& stream, const Head& head, int64_t start, uint16_t resourceType) {
    if (head.size < 23 || head.bytes.size() < 6)
        return false;
    const uint8_t* h = head.bytes.data();
    uint16_t count = Le16(h + 4);
    if (Le16(h) != 0 || Le16(h + 2) != resourceType || count == 0)
        return false;
    std::vector<uint8_t> entries;
    if (!ReadAt(stream, start, 6, size_t(count) * 16, entries))
        return false;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* e = entries.data() + size_t(i) * 16;
        uint32_t after = 6 + 16 * (uint32_t(i) + 1);  // stream position after this entry
        if (e[3] != 0 || Le32(e + 8) == 0 || Le32(e + 12) < after)
            return false;
    }
    return true;
}

int32_t DetectFrom(TStream& stream, int64_t start) {
    Head head;
    head.size = stream.Size() - start;
    head.bytes.resize(size_t(std::clamp<int64_t>(head.size, 0, 256)));
    head.bytes.resize(stream.Read(head.bytes.data(), head.bytes.size()));
    const auto& b = head.bytes;
    const int64_t size = head.size;

    if (size > 12 && head.HasBlockHeader("JFIF"))
        return ftJPEG;
    if (size > 13 && head.Has(0, "GIF"))
        return ftGIF;
    if (size > 12 && head.HasBlockHeader("PCX2"))
        return ftPCX;
    if (size > 4 && head.HasBlockHeader("PCX"))
        return ftPCX;
    if (size > 14 && head.Has(0, "BM"))
        return ftBMP;
    if (size > 128 && b[0] == 0x0A && b[1] <= 5)
        return ftPCX;
    if (size > 12 && head.HasBlockHeader("TIFF"))
        return ftTIFF;
    FirstDirectory dir;
    if (ParseFirstDirectory(stream, head, start, dir) && !IsCameraRaw(dir))
        return ftTIFF;
    if (size > 8 && head.Has(0, "\x89PNG"))
        return ftPNG;
    if (IsIconDirectory(stream, head, start, 1))
        return ftICO;
    if (IsIconDirectory(stream, head, start, 2))
        return ftCUR;
    // JPEG data behind a short preamble (some cameras and mail tools prepend bytes).
    for (size_t i = 0; i < 150 && i + 3 <= b.size(); ++i) {
        if (b[i] == 0xFF && b[i + 1] == 0xD8 && b[i + 2] == 0xFF)
            return ftJPEG;
    }
    if (b.size() >= 12 && Be32(&b[0]) == 12 && Be32(&b[4]) == 0x6A502020 &&
        Be32(&b[8]) == 0x0D0A870A) {
        return ftJP2;  // the JPEG 2000 signature box (ISO/IEC 15444-1, I.5.1)
    }
    if (b.size() >= 4 && Be16(&b[0]) == 0xFF4F && Be16(&b[2]) == 0xFF51)
        return ftJ2K;
    if (head.Has(0, "RIFF") && head.Has(8, "AVI "))
        return ftAVI;
    return ftNone;
}

}  // namespace

std::span<const TFileFormatInfo> FileFormatTable() {
    return kFormatTable;
}

const TFileFormatInfo* FindFormatByExtension(std::string_view extension) {
    if (!extension.empty() && extension.front() == '.')
        extension.remove_prefix(1);
    if (extension.empty())
        return nullptr;
    for (const TFileFormatInfo& row : kFormatTable) {
        std::string_view list = row.Extensions;
        while (!list.empty()) {
            size_t cut = list.find(';');
            if (EqualNoCase(list.substr(0, cut), extension))
                return &row;
            if (cut == std::string_view::npos)
                break;
            list.remove_prefix(cut + 1);
        }
    }
    return nullptr;
}

const TFileFormatInfo* FindFormatOfFileName(const std::filesystem::path& fileName) {
    std::string name = fileName.filename().string();
    size_t dot = name.rfind('.');
    if (dot == std::string::npos) return nullptr;
    return FindFormatByExtension(std::string_view(name).substr(dot));
}

const TFileFormatInfo* FindFormatByCode(int32_t fileType) {
    for (const TFileFormatInfo& row : kFormatTable) {
        if (row.FileType == fileType)
            return &row;
    }
    return nullptr;
}

int32_t FindStreamFormat(TStream& stream) {
    int64_t start = 0;
    int32_t code = ftNone;
    try {
        start = stream.Position();
        code = DetectFrom(stream, start);
    } catch (...) {
        code = ftNone;
    }
    try {
        stream.Seek(start);
    } catch (...) {
    }
    return code;
}

int32_t FindFileFormat(const std::filesystem::path& fileName, bool verifyExtension) {
    if (fileName.empty())
        return ftNone;
    std::error_code ec;
    if (!std::filesystem::exists(fileName, ec))
        return ftNone;

    int32_t content = ftNone;
    try {
        TWideFileStream file(fileName, TWideFileStream::Mode::OpenRead);
        content = FindStreamFormat(file);
    } catch (...) {
        content = ftNone;
    }

    const TFileFormatInfo* row = FindFormatOfFileName(fileName);

    if (row && row->FileType == ftRAW && content == ftTIFF)
        return ftRAW;
    if (row && !row->Internal)
        return row->FileType;
    if (verifyExtension && content != ftNone) {
        if (!row || content == ftICO || content == ftCUR)
            return row ? row->FileType : ftNone;
        if (row->FileType != content)
            return ftNone;
    }
    return content;
}

}  // namespace morvane
