#include "fileformats.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "bytebuilder.h"
#include "streams.h"
#include "tempdir.h"

namespace morvane {
namespace {

using test::ByteBuilder;
using Bytes = std::vector<uint8_t>;

struct TiffTag {
    uint16_t tag, type;
    uint32_t count, value;
};
constexpr uint16_t kByte = 1, kShort = 3, kLong = 4;

// A TIFF header (TIFF 6.0, section 2) whose first directory follows at `ifdOffset`; the
// bytes between the header and the directory are `gapByte`.
Bytes Tiff(bool little, std::vector<TiffTag> tags, uint32_t ifdOffset = 8, uint8_t gapByte = 0) {
    ByteBuilder b;
    b.Text(little ? "II" : "MM")
        .U16(little, 42)
        .U32(little, ifdOffset)
        .Fill(ifdOffset - 8, gapByte);
    b.U16(little, uint16_t(tags.size()));
    for (const TiffTag& t : tags) {
        b.U16(little, t.tag).U16(little, t.type).U32(little, t.count);
        if (t.type == kShort && t.count == 1) {
            b.U16(little, uint16_t(t.value)).U16(little, 0);  // left-justified in the field
        } else {
            b.U32(little, t.value);
        }
    }
    return b.U32(little, 0);  // no next directory
}

const std::vector<TiffTag> kPlainTags = {{256, kShort, 1, 640}, {257, kLong, 1, 480}};

struct IconEntry {
    uint8_t reserved = 0;
    uint32_t bytes = 40;
    uint32_t offset = 22;
};

// An icon directory: reserved 0, resource type, count, then 16-byte entries.
Bytes IconDirectory(uint16_t type, uint16_t count, std::vector<IconEntry> entries,
                    size_t tail = 8) {
    ByteBuilder b;
    b.Le16(0).Le16(type).Le16(count);
    for (const IconEntry& e : entries) {
        b.U8(16).U8(16).U8(0).U8(e.reserved).Le16(1).Le16(32).Le32(e.bytes).Le32(e.offset);
    }
    return b.Fill(tail, 0);
}

Bytes Jpeg(size_t zeroPrefix) {
    return ByteBuilder().Fill(zeroPrefix, 0).Be16(0xFFD8).Be16(0xFFE0).Fill(20, 0x11);
}

int32_t Detect(const Bytes& bytes) {
    TMemoryStream stream(bytes.data(), bytes.size());
    return FindStreamFormat(stream);
}

struct DetectionCase {
    const char* name;
    Bytes bytes;
    int32_t expected;
};

TEST(FindStreamFormat, Signatures) {
    const std::vector<DetectionCase> cases = {
        {"empty", {}, ftNone},
        {"jpeg", Jpeg(0), ftJPEG},
        {"jpeg after 149 zero bytes", Jpeg(149), ftJPEG},
        {"jpeg after 150 zero bytes", Jpeg(150), ftNone},
        {"jfif block header", ByteBuilder().Text("JFIF").Le32(0).Le32(100).Fill(4, 1), ftJPEG},
        {"tiff block header", ByteBuilder().Text("TIFF").Le32(0).Le32(100).Fill(4, 1), ftTIFF},
        {"gif", ByteBuilder().Text("GIF89a").Fill(10, 0), ftGIF},
        {"bmp", ByteBuilder().Text("BM").Fill(13, 0), ftBMP},
        {"bmp of 14 bytes is too short", ByteBuilder().Text("BM").Fill(12, 0), ftNone},
        {"pcx", ByteBuilder().U8(0x0A).U8(5).Fill(127, 0), ftPCX},
        {"pcx version 6 is not pcx", ByteBuilder().U8(0x0A).U8(6).Fill(127, 0), ftNone},
        {"png", ByteBuilder().U8(0x89).Text("PNG\r\n\x1a\n").Fill(8, 0), ftPNG},
        {"jp2 signature box", ByteBuilder().Be32(12).Be32(0x6A502020).Be32(0x0D0A870A).Fill(8, 0),
         ftJP2},
        {"j2k SOC then SIZ", ByteBuilder().Be16(0xFF4F).Be16(0xFF51).Fill(8, 0), ftJ2K},
        {"riff avi", ByteBuilder().Text("RIFF").Le32(100).Text("AVI LIST"), ftAVI},
        {"riff wave", ByteBuilder().Text("RIFF").Le32(100).Text("WAVEfmt "), ftNone},

        {"tiff little-endian", Tiff(true, kPlainTags), ftTIFF},
        {"tiff big-endian", Tiff(false, kPlainTags), ftTIFF},
        {"tiff without image length", Tiff(true, {{256, kShort, 1, 640}}), ftNone},
        {"tiff directory beyond the end", ByteBuilder().Text("II").Le16(42).Le32(4000).Fill(40, 0),
         ftNone},
        {"tiff directory count past the end",
         ByteBuilder().Text("MM").Be16(42).Be32(8).Be16(3).Fill(12, 0), ftNone},
        {"big-endian tiff with 0xBA at byte 8", Tiff(false, kPlainTags, 16, 0xBA), ftNone},
        {"big-endian tiff with 0x00 at byte 8", Tiff(false, kPlainTags, 16, 0x00), ftTIFF},
        {"dng version tag",
         Tiff(true, {{256, kShort, 1, 64}, {257, kShort, 1, 64}, {50706, kByte, 4, 0x01010000}}),
         ftNone},
        {"dng version of another count",
         Tiff(true, {{256, kShort, 1, 64}, {257, kShort, 1, 64}, {50706, kByte, 3, 0}}), ftTIFF},
        {"cfa photometric",
         Tiff(false, {{256, kLong, 1, 3000}, {257, kLong, 1, 2000}, {262, kShort, 1, 32803}}),
         ftNone},
        {"linear raw photometric",
         Tiff(true, {{256, kLong, 1, 3000}, {257, kLong, 1, 2000}, {262, kShort, 1, 34892}}),
         ftNone},
        {"rgb photometric",
         Tiff(true, {{256, kLong, 1, 3000}, {257, kLong, 1, 2000}, {262, kShort, 1, 2}}), ftTIFF},
        {"tiff/ep with a small first image",
         Tiff(true, {{256, kShort, 1, 160},
                     {257, kShort, 1, 120},
                     {330, kLong, 1, 500},
                     {37398, kByte, 4, 0}}),
         ftNone},
        {"tiff/ep with a large first image",
         Tiff(true, {{256, kShort, 1, 3000},
                     {257, kShort, 1, 120},
                     {330, kLong, 1, 500},
                     {37398, kByte, 4, 0}}),
         ftTIFF},

        {"icon", IconDirectory(1, 1, {{}}), ftICO},
        {"icon directory with count 0", IconDirectory(1, 0, {}, 30), ftNone},
        {"icon entry with reserved byte set", IconDirectory(1, 1, {{.reserved = 1}}), ftNone},
        {"icon entry of 0 bytes", IconDirectory(1, 1, {{.bytes = 0}}), ftNone},
        {"icon image inside its own directory",
         IconDirectory(1, 2, {{.offset = 38}, {.offset = 37}}), ftNone},
        {"icon count beyond the data", IconDirectory(1, 3, {{}, {}}), ftNone},
        {"cursor", IconDirectory(2, 1, {{}}), ftCUR},
    };
    for (const DetectionCase& c : cases) {
        TMemoryStream stream(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(FindStreamFormat(stream), c.expected) << c.name;
        EXPECT_EQ(stream.Position(), 0) << c.name;
    }
}

// Detection runs from the current position and puts the stream back there.
TEST(FindStreamFormat, StartsAtAndRestoresThePosition) {
    Bytes bytes = ByteBuilder().Text("junk!").Append(Tiff(false, kPlainTags));
    TMemoryStream stream(bytes.data(), bytes.size());
    stream.Seek(5);
    EXPECT_EQ(FindStreamFormat(stream), ftTIFF);
    EXPECT_EQ(stream.Position(), 5);
}

// Every prefix of a directory-based signature is refused cleanly until the directory is
// complete (run under the sanitizers, this also proves no read leaves the data).
TEST(FindStreamFormat, PrefixesOfDirectoryFormats) {
    struct Case {
        Bytes bytes;
        size_t completeAt;  // the shortest prefix that detects
        int32_t expected;
    };
    const Bytes tiff = Tiff(true, kPlainTags);
    const Bytes icon = IconDirectory(1, 1, {{}}, 0);
    for (const Case& c : {Case{tiff, 8 + 2 + 2 * 12, ftTIFF}, Case{icon, 23, ftICO}}) {
        Bytes padded = c.bytes;
        padded.resize(std::max(padded.size(), c.completeAt), 0);
        for (size_t n = 0; n <= padded.size(); ++n) {
            Bytes prefix(padded.begin(), padded.begin() + ptrdiff_t(n));
            EXPECT_EQ(Detect(prefix), n >= c.completeAt ? c.expected : ftNone) << "prefix " << n;
        }
    }
}

TEST(FormatTable, OrderAndCapabilities) {
    std::vector<int32_t> codes;
    for (const TFileFormatInfo& row : FileFormatTable())
        codes.push_back(row.FileType);
    EXPECT_EQ(codes, (std::vector<int32_t>{1,  2,  3,  4,  5,  6,  7,  8,  28, 9,  10, 11,
                                           12, 16, 13, 14, 17, 18, 19, 20, 24, 25, 26, 27}));
    for (int32_t code : {ftTIFF, ftGIF, ftJPEG, ftBMP, ftICO, ftPNG, ftJP2, ftJ2K}) {
        const TFileFormatInfo* row = FindFormatByCode(code);
        ASSERT_NE(row, nullptr);
        EXPECT_TRUE(row->CanRead && row->CanWrite && row->Internal) << code;
    }
    for (int32_t code : {ftCUR, ftDICOM, ftWMF, ftEMF, ftRAW})
        EXPECT_FALSE(FindFormatByCode(code)->CanWrite) << code;
    for (int32_t code : {ftPS, ftPDF})
        EXPECT_FALSE(FindFormatByCode(code)->CanRead) << code;
    EXPECT_EQ(FindFormatByCode(ftAVI), nullptr);
    EXPECT_EQ(FindFormatByCode(21), nullptr);
}

TEST(FindFormatByExtension, Lookup) {
    const std::vector<std::pair<const char*, int32_t>> cases = {
        {"jpg", ftJPEG},   {".JPEG", ftJPEG}, {"Jif", ftJPEG},     {"tif", ftTIFF},
        {"G3F", ftTIFF},   {"xif", ftTIFF},   {"rle", ftBMP},      {"dib", ftBMP},
        {"j2c", ftJ2K},    {"jp2", ftJP2},    {"dicom", ftDICOM},  {"sr2", ftRAW},
        {"pcx", ftPCX},    {"dcx", ftDCX},    {"eps", ftPS},       {"", ftNone},
        {".", ftNone},     {"jp", ftNone},    {"tif;gif", ftNone}, {"avi", ftNone},
        {"..png", ftNone},
    };
    for (const auto& [extension, expected] : cases) {
        const TFileFormatInfo* row = FindFormatByExtension(extension);
        EXPECT_EQ(row ? row->FileType : ftNone, expected) << '"' << extension << '"';
    }
}

TEST(FindFileFormat, ContentThenExtensionRules) {
    test::TempDir dir;
    auto write = [&](const char* name, const Bytes& bytes) {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return dir / name;
    };
    const Bytes jpeg = Jpeg(0), icon = IconDirectory(1, 1, {{}}), tiff = Tiff(true, kPlainTags);
    const Bytes noise = ByteBuilder().Text("plain text, no image");
    struct Case {
        const char* name;
        const Bytes& bytes;
        bool verify;
        int32_t expected;
    };
    const std::vector<Case> cases = {
        {"photo.png", jpeg, false, ftJPEG},  // content first
        {".png", jpeg, false, ftJPEG},       // a bare extension is still an extension
        {"photo.png", jpeg, true, ftNone},   // verified: extension and content disagree
        {"photo.jpeg", jpeg, true, ftJPEG},
        {"photo", jpeg, true, ftNone},  // verified: no row for the extension
        {"photo", jpeg, false, ftJPEG},
        {"icon.bmp", icon, true, ftBMP},  // icon content yields to the extension's row
        {"icon.xyz", icon, true, ftNone},
        {"icon.xyz", icon, false, ftICO},
        {"raw.NEF", tiff, false, ftRAW},  // a TIFF-structured camera raw file
        {"scan.tif", tiff, true, ftTIFF},
        {"notes.jpg", noise, false,
         ftNone},  // nothing in the content: the caller goes by extension
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindFileFormat(write(c.name, c.bytes), c.verify), c.expected)
            << c.name << (c.verify ? " verified" : "");
    }
    EXPECT_EQ(FindFileFormat(dir / "missing.jpg", false), ftNone);
    EXPECT_EQ(FindFileFormat(dir.path(), false), ftNone);
    EXPECT_EQ(FindFileFormat("", false), ftNone);
}

}  // namespace
}  // namespace morvane
