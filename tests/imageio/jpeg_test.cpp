#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "bytebuilder.h"
#include "codecs/jpeg/jpegcodec.h"
#include "codecs/jpeg/jpegglue.h"
#include "codecs/jpeg/jpegmarkers.h"
#include "colorconv.h"
#include "imagebuffer.h"
#include "ioframe.h"
#include "streams.h"
#include "tempdir.h"

namespace morvane {
namespace {

using Bytes = std::vector<uint8_t>;

// A progress record with its own Aborting flag.
struct Progress {
    std::atomic<bool> aborting{false};
    TProgressRec rec;
    Progress() { rec.Aborting = &aborting; }
};

// Each 8 x 8 block one colour, different in every channel: lossless enough at quality
// 100 without subsampling, and any channel swap shows.
std::unique_ptr<TImageBuffer> BlockPicture(int width, int height) {
    auto image = std::make_unique<TImageBuffer>(width, height, pf24RGB);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int bx = x / 8, by = y / 8;
            image->SetPixel24(x, y, {uint8_t(40 + 50 * (bx % 4)), uint8_t(30 + 40 * (by % 5)),
                                     uint8_t(220 - 60 * ((bx + by) % 3))});
        }
    }
    return image;
}

Bytes Encode(TImageBuffer& image, const std::function<void(TImageParams&)>& setup = {}) {
    TImageParams params;
    params.JpegQuality = 100;
    params.JpegChromaSubsampling = 2;  // 1 x 1
    if (setup) setup(params);
    Progress progress;
    TMemoryStream stream;
    WriteJpegStream(stream, image, params, progress.rec);
    EXPECT_FALSE(progress.aborting);
    return stream.Bytes();
}

struct Decoded {
    std::unique_ptr<TImageBuffer> image = std::make_unique<TImageBuffer>();
    TImageParams params;
    bool aborted = false;
    int rows = 0;
};

struct ReadOptions {
    bool native = false;
    bool paramsOnly = false;
    bool invertCmyk = false;
    int maxRows = -1;
    std::function<void(TImageParams&)> setup;
};

std::unique_ptr<Decoded> Decode(const Bytes& file, const ReadOptions& options = {}) {
    auto d = std::make_unique<Decoded>();
    if (options.setup) options.setup(d->params);
    Progress progress;
    TMemoryStream stream(file.data(), file.size());
    d->rows = ReadJpegStream(stream, nullptr, *d->image, options.native, options.maxRows, true,
                             true, options.invertCmyk, true, false, options.paramsOnly,
                             progress.rec, d->params);
    d->aborted = progress.aborting;
    return d;
}

int MaxDifference(const TImageBuffer& a, const TImageBuffer& b) {
    EXPECT_EQ(a.Width(), b.Width());
    EXPECT_EQ(a.Height(), b.Height());
    int worst = 0;
    for (int y = 0; y < std::min(a.Height(), b.Height()); ++y) {
        for (int x = 0; x < std::min(a.Width(), b.Width()); ++x) {
            TBGRTriple p = a.GetPixel24(x, y), q = b.GetPixel24(x, y);
            worst = std::max({worst, std::abs(p.rgbtRed - q.rgbtRed),
                              std::abs(p.rgbtGreen - q.rgbtGreen), std::abs(p.rgbtBlue - q.rgbtBlue)});
        }
    }
    return worst;
}

// Markers of a file in order, from SOI to SOS: code and payload.
struct FileMarker {
    uint8_t code;
    Bytes payload;
};
std::vector<FileMarker> MarkersOf(const Bytes& file) {
    std::vector<FileMarker> out;
    size_t pos = 2;  // after SOI
    while (pos + 4 <= file.size() && file[pos] == 0xFF && file[pos + 1] != 0xDA) {
        size_t length = (size_t(file[pos + 2]) << 8) | file[pos + 3];
        if (length < 2 || pos + 2 + length > file.size()) break;
        out.push_back({file[pos + 1], Bytes(file.begin() + long(pos + 4), file.begin() + long(pos + 2 + length))});
        pos += 2 + length;
    }
    return out;
}

bool HasMarker(const Bytes& file, uint8_t code, const std::string& prefix) {
    for (const FileMarker& m : MarkersOf(file)) {
        if (m.code == code && m.payload.size() >= prefix.size() &&
            std::memcmp(m.payload.data(), prefix.data(), prefix.size()) == 0)
            return true;
    }
    return false;
}

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Encodes rows of R, G, B bytes with the library alone; `tables` receives a tables-only
// datastream and the image stream then omits its tables (JPEG in TIFF does this).
Bytes LibraryEncode(const std::vector<uint8_t>& rgb, int width, int height, Bytes* tables) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 100, TRUE);
    unsigned char* memory = nullptr;
    unsigned long size = 0;
    if (tables) {
        jpeg_mem_dest(&c, &memory, &size);
        jpeg_write_tables(&c);
        tables->assign(memory, memory + size);
        std::free(memory);
        memory = nullptr;
        size = 0;
    }
    jpeg_mem_dest(&c, &memory, &size);
    jpeg_start_compress(&c, tables ? FALSE : TRUE);
    for (int y = 0; y < height; ++y) {
        JSAMPROW row = const_cast<uint8_t*>(&rgb[size_t(y) * size_t(width) * 3]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    Bytes out(memory, memory + size);
    std::free(memory);
    jpeg_destroy_compress(&c);
    return out;
}

// The library's own decode of a file into R, G, B rows.
std::vector<uint8_t> LibraryDecodeRgb(const Bytes& file) {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, file.data(), file.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    std::vector<uint8_t> rgb(size_t(d.output_width) * d.output_height * 3);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = &rgb[size_t(d.output_scanline) * d.output_width * 3];
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return rgb;
}

// ---------------------------------------------------------------- scale choice

TEST(JpegReader, ScaleChoiceDecodesTheLargestReductionThatCoversTheWantedSize) {
    static const Bytes file = [] {
        TImageBuffer flat(4000, 3000, pf24RGB);
        flat.Fill(128);
        return Encode(flat, [](TImageParams& p) { p.JpegQuality = 50; });
    }();
    struct Case {
        uint8_t scale;
        int wantedWidth, wantedHeight;
        int width, height, denominator;
    };
    const Case cases[] = {
        {0, 800, 600, 1000, 750, 4},     // 1/8 gives 500 x 375: too small
        {0, 1100, 600, 2000, 1500, 2},   // 1/4 gives 1000 wide: too narrow
        {0, 4001, 1, 4000, 3000, 1},     // nothing smaller covers 4001
        {0, 500, 375, 500, 375, 8},      // exactly covered at 1/8
        {0, 0, 0, 4000, 3000, 1},        // no wanted size
        {1, 800, 600, 4000, 3000, 1},    // full size asked
        {2, 0, 0, 2000, 1500, 2},
        {3, 0, 0, 1000, 750, 4},
        {4, 0, 0, 500, 375, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "JpegScale " << int(c.scale) << " wanted "
                                        << c.wantedWidth << "x" << c.wantedHeight);
        auto d = Decode(file, {.setup = [&](TImageParams& p) {
                                   p.JpegScale = c.scale;
                                   p.Width = c.wantedWidth;
                                   p.Height = c.wantedHeight;
                               }});
        EXPECT_FALSE(d->aborted);
        EXPECT_EQ(d->params.JpegScaleUsed, c.denominator);
        EXPECT_EQ(d->params.Width, c.width);
        EXPECT_EQ(d->params.Height, c.height);
        EXPECT_EQ(d->image->Width(), c.width);
        EXPECT_EQ(d->image->Height(), c.height);
        EXPECT_EQ(d->params.OriginalWidth, 4000);
        EXPECT_EQ(d->params.OriginalHeight, 3000);
        EXPECT_EQ(d->rows, c.height);
    }
}

TEST(JpegReader, TablesStreamSuppliesTheTablesOfAnAbbreviatedImage) {
    const int width = 24, height = 16;
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 7);
    Bytes tables;
    Bytes image = LibraryEncode(rgb, width, height, &tables);
    Bytes complete = LibraryEncode(rgb, width, height, nullptr);

    auto expected = Decode(complete);
    ASSERT_FALSE(expected->aborted);
    TImageBuffer decoded;
    TImageParams params;
    Progress progress;
    TMemoryStream tablesStream(tables.data(), tables.size());
    TMemoryStream imageStream(image.data(), image.size());
    int rows = ReadJpegStream(imageStream, &tablesStream, decoded, false, -1, false, true, false,
                              false, false, false, progress.rec, params);
    EXPECT_FALSE(progress.aborting);
    EXPECT_EQ(rows, height);
    EXPECT_EQ(MaxDifference(decoded, *expected->image), 0);

    auto without = Decode(image);  // no quantization tables: the library refuses
    EXPECT_TRUE(without->aborted);
}

TEST(JpegReader, ParamsOnlyRecordsTheFileWithoutDecoding) {
    auto picture = BlockPicture(40, 24);
    Bytes file = Encode(*picture, [](TImageParams& p) { p.JpegProgressive = true; });
    auto d = Decode(file, {.paramsOnly = true, .setup = [](TImageParams& p) {
                               p.JpegScale = 2;
                           }});
    EXPECT_FALSE(d->aborted);
    EXPECT_EQ(d->rows, 0);
    EXPECT_TRUE(d->image->IsEmpty());
    EXPECT_EQ(d->params.Width, 40);  // the file's size, not the scaled one
    EXPECT_EQ(d->params.Height, 24);
    EXPECT_EQ(d->params.JpegScaleUsed, 2);
    EXPECT_TRUE(d->params.JpegProgressive);
    EXPECT_EQ(d->params.SamplesPerPixel, 3);
}

// ---------------------------------------------------------------- colour spaces

TEST(JpegWriter, EachColourSpaceCarriesItsHeadersAndReadsBack) {
    struct Case {
        uint8_t colorSpace;
        bool jfif, adobe;
        int components, samplesPerPixel;
    };
    const Case cases[] = {
        {0, false, true, 3, 3},  // RGB: Adobe marker, no JFIF header
        {1, true, false, 1, 1},
        {2, true, false, 3, 3},
        {3, true, true, 4, 4},   // CMYK: both headers
        {4, false, true, 4, 4},  // YCbCrK: the library's choice, Adobe only
    };
    auto picture = BlockPicture(32, 16);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "JpegColorSpace " << int(c.colorSpace));
        Bytes file = Encode(*picture, [&](TImageParams& p) { p.JpegColorSpace = c.colorSpace; });
        std::vector<FileMarker> markers = MarkersOf(file);
        ASSERT_FALSE(markers.empty());
        EXPECT_EQ(HasMarker(file, 0xE0, std::string("JFIF\0", 5)), c.jfif);
        EXPECT_EQ(HasMarker(file, 0xEE, "Adobe"), c.adobe);
        if (c.jfif) {
            EXPECT_EQ(markers[0].code, 0xE0);  // the JFIF header comes first
        }
        int components = -1;
        for (const FileMarker& m : markers) {
            if (m.code == 0xC0) components = m.payload[5];  // SOF0: P, Y, X, Nf
        }
        EXPECT_EQ(components, c.components);

        auto d = Decode(file, {.setup = [](TImageParams& p) { p.JpegColorSpace = 9; }});
        EXPECT_FALSE(d->aborted);
        EXPECT_EQ(d->params.JpegColorSpace, c.colorSpace);
        EXPECT_EQ(d->params.SamplesPerPixel, c.samplesPerPixel);
        EXPECT_EQ(d->image->PixelFormat(), pf24RGB);
    }
}

TEST(JpegReader, RgbAndYCbCrEncodingsOfOnePictureLoadAlike) {
    auto picture = BlockPicture(48, 32);
    Bytes rgbFile = Encode(*picture, [](TImageParams& p) { p.JpegColorSpace = 0; });
    // The library alone sees red where the buffer had red: no swap on the way in.
    std::vector<uint8_t> plain = LibraryDecodeRgb(rgbFile);
    EXPECT_NEAR(plain[0], picture->GetPixel24(0, 0).rgbtRed, 2);
    EXPECT_NEAR(plain[2], picture->GetPixel24(0, 0).rgbtBlue, 2);
    auto rgb = Decode(rgbFile);
    auto ycc = Decode(Encode(*picture, [](TImageParams& p) { p.JpegColorSpace = 2; }));
    EXPECT_EQ(rgb->params.JpegColorSpace, 0);
    EXPECT_EQ(ycc->params.JpegColorSpace, 2);
    // Only the YCbCr rounding separates them; a red/blue swap would be off by 100 or more.
    EXPECT_LE(MaxDifference(*rgb->image, *ycc->image), 3);
    EXPECT_LE(MaxDifference(*rgb->image, *picture), 2);
}

TEST(JpegReader, GreyLoadsAsEqualChannelsOrAsNativeGrey) {
    auto picture = BlockPicture(24, 16);
    Bytes file = Encode(*picture, [](TImageParams& p) { p.JpegColorSpace = 1; });
    auto rgb = Decode(file);
    auto grey = Decode(file, {.native = true});
    EXPECT_EQ(rgb->params.SamplesPerPixel, 1);
    EXPECT_EQ(rgb->params.JpegColorSpace, 1);
    ASSERT_EQ(rgb->image->PixelFormat(), pf24RGB);
    ASSERT_EQ(grey->image->PixelFormat(), pf8g);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 24; ++x) {
            TBGRTriple p = rgb->image->GetPixel24(x, y);
            uint8_t g = grey->image->GetPixel8(x, y);
            ASSERT_EQ(p, (TBGRTriple{g, g, g})) << x << "," << y;
            // The library's own luma weights (ITU-R BT.601) make the grey file.
            TBGRTriple c = picture->GetPixel24(x, y);
            ASSERT_NEAR(g, 0.299 * c.rgbtRed + 0.587 * c.rgbtGreen + 0.114 * c.rgbtBlue, 3)
                << x << "," << y;
        }
    }
}

TEST(JpegReader, CmykRowsAreNativeOrConvertedByTheCmykRules) {
    auto picture = BlockPicture(16, 16);
    for (uint8_t colorSpace : {3, 4}) {
        SCOPED_TRACE(int(colorSpace));
        Bytes file = Encode(*picture, [&](TImageParams& p) { p.JpegColorSpace = colorSpace; });
        auto native = Decode(file, {.native = true});
        auto rgb = Decode(file);
        auto inverted = Decode(file, {.invertCmyk = true});
        ASSERT_EQ(native->image->PixelFormat(), pfCMYK);
        ASSERT_EQ(rgb->image->PixelFormat(), pf24RGB);
        for (int y = 0; y < 16; ++y) {
            const uint8_t* k = native->image->RowPointer(y);
            for (int x = 0; x < 16; ++x, k += 4) {
                ASSERT_EQ(rgb->image->GetPixel24(x, y), CMYKToRGB(k[0], k[1], k[2], k[3]));
                ASSERT_EQ(inverted->image->GetPixel24(x, y),
                          CMYKToRGB(uint8_t(~k[0]), uint8_t(~k[1]), uint8_t(~k[2]), uint8_t(~k[3])));
            }
        }
        // The stored bytes are the writer's own CMYK of the picture, give or take the coding.
        TCMYKBytes expected = RGBToCMYK(picture->GetPixel24(3, 3).rgbtRed,
                                        picture->GetPixel24(3, 3).rgbtGreen,
                                        picture->GetPixel24(3, 3).rgbtBlue);
        const uint8_t* k = native->image->RowPointer(3) + 3 * 4;
        EXPECT_NEAR(k[0], expected.c, 3);
        EXPECT_NEAR(k[3], expected.k, 3);
    }
}

TEST(JpegWriter, NonRgbBuffersAreWrittenFromAWorkingCopy) {
    TImageBuffer grey(16, 8, pf8g);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) grey.SetPixel8(x, y, uint8_t(x * 16));
    Bytes file = Encode(grey);
    EXPECT_EQ(grey.PixelFormat(), pf8g);  // the caller's buffer is left as it was
    auto d = Decode(file);
    EXPECT_FALSE(d->aborted);
    EXPECT_NEAR(d->image->GetPixel24(15, 7).rgbtGreen, 240, 2);
    EXPECT_NEAR(d->image->GetPixel24(1, 0).rgbtRed, 16, 2);
}

// ---------------------------------------------------------------- density

TEST(JpegReader, JfifDensityGivesDotsPerInch) {
    struct Case {
        uint8_t unit;
        uint16_t x, y;
        int dpiX, dpiY;
    };
    const Case cases[] = {
        {2, 118, 118, 300, 300},  // round(118 x 2.54) = 300
        {2, 40, 80, 102, 203},
        {1, 72, 96, 72, 96},      // dots per inch as they stand
        {0, 1, 2, 1, 2},          // an aspect ratio, taken as it stands
    };
    auto picture = BlockPicture(8, 8);
    Bytes file = Encode(*picture);
    // JFIF APP0 right after SOI: FF E0, length, "JFIF\0", version (2), then at byte 13
    // the unit and at 14 and 16 the big-endian X and Y densities.
    ASSERT_EQ(std::memcmp(&file[6], "JFIF", 4), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "unit " << int(c.unit) << " " << c.x << "x" << c.y);
        Bytes patched = file;
        patched[13] = c.unit;
        patched[14] = uint8_t(c.x >> 8), patched[15] = uint8_t(c.x);
        patched[16] = uint8_t(c.y >> 8), patched[17] = uint8_t(c.y);
        auto d = Decode(patched);
        EXPECT_EQ(d->params.DpiX, c.dpiX);
        EXPECT_EQ(d->params.DpiY, c.dpiY);
    }
}

TEST(JpegWriter, DensityIsWrittenInDotsPerInchWith300ForZero) {
    auto picture = BlockPicture(8, 8);
    struct Case {
        int dpiX, dpiY;
        uint16_t x, y;
    };
    for (const Case& c : {Case{0, 0, 300, 300}, Case{72, 150, 72, 150}}) {
        Bytes file = Encode(*picture, [&](TImageParams& p) {
            p.DpiX = c.dpiX;
            p.DpiY = c.dpiY;
        });
        EXPECT_EQ(file[13], 1);  // dots per inch
        EXPECT_EQ((file[14] << 8) | file[15], c.x);
        EXPECT_EQ((file[16] << 8) | file[17], c.y);
    }
}

// ---------------------------------------------------------------- markers

TEST(JpegMarkers, LaterApp0IsKeptAndWrittenAfterTheNewJfifHeader) {
    auto picture = BlockPicture(8, 8);
    Bytes jfxx = ToBytes(std::string("JFXX\0\x10", 6));
    Bytes file = Encode(*picture, [&](TImageParams& p) {
        p.JpegMarkers.Add(0xFE, "note", 4);
        p.JpegMarkers.Add(0xE0, jfxx.data(), jfxx.size());
    });
    std::vector<FileMarker> markers = MarkersOf(file);
    ASSERT_GE(markers.size(), 3u);
    EXPECT_EQ(markers[0].code, 0xE0);
    EXPECT_EQ(std::memcmp(markers[0].payload.data(), "JFIF", 4), 0);
    EXPECT_EQ(markers[1].code, 0xE0);
    EXPECT_EQ(markers[1].payload, jfxx);

    auto d = Decode(file);
    ASSERT_EQ(d->params.JpegMarkers.Count(), 2);  // the JFIF header is not kept
    EXPECT_EQ(d->params.JpegMarkers.CodeAt(0), 0xE0);
    EXPECT_EQ(Bytes(d->params.JpegMarkers.PayloadAt(0).begin(), d->params.JpegMarkers.PayloadAt(0).end()), jfxx);
    EXPECT_EQ(d->params.JpegMarkers.CodeAt(1), 0xFE);
}

Bytes IccChunk(uint8_t sequence, uint8_t count, const std::string& body) {
    return test::ByteBuilder().Text(std::string("ICC_PROFILE\0", 12)).U8(sequence).U8(count).Text(body).Bytes();
}

TEST(JpegMarkers, SortPutsIccChunksInSequenceAndExifFirstAmongApp1) {
    TMarkerList list;
    Bytes xmp = ToBytes(std::string(kXmpSignature, kXmpSignatureLength) + "<x/>");
    Bytes exif = ToBytes(std::string("Exif\0\0MM", 8));
    Bytes icc2 = IccChunk(2, 2, "second"), icc1 = IccChunk(1, 2, "first");
    list.Add(0xFE, "c", 1);
    list.Add(0xE2, icc2.data(), icc2.size());
    list.Add(0xE1, xmp.data(), xmp.size());
    list.Add(0xEE, "Adobe", 5);
    list.Add(0xE2, icc1.data(), icc1.size());
    list.Add(0xE1, exif.data(), exif.size());
    list.Sort();
    ASSERT_EQ(list.Count(), 6);
    const uint8_t codes[] = {0xE1, 0xE1, 0xE2, 0xE2, 0xEE, 0xFE};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(list.CodeAt(i), codes[i]) << i;
    EXPECT_EQ(std::memcmp(list.DataAt(0), "Exif", 4), 0);
    EXPECT_EQ(list.DataAt(2)[12], 1);
    EXPECT_EQ(list.DataAt(3)[12], 2);
}

TEST(JpegMarkers, IccChunksAreWrittenInSequenceAndJoinedOnRead) {
    auto picture = BlockPicture(8, 8);
    Bytes icc2 = IccChunk(2, 2, "-tail"), icc1 = IccChunk(1, 2, "head");
    Bytes file = Encode(*picture, [&](TImageParams& p) {
        p.JpegColorSpace = 0;                   // the library writes its Adobe marker...
        p.JpegMarkers.Add(0xEE, "Adobe!", 6);   // ...and a kept one is not written again
        p.JpegMarkers.Add(0xE2, icc2.data(), icc2.size());
        p.JpegMarkers.Add(0xE2, icc1.data(), icc1.size());
    });
    int adobe = 0;
    for (const FileMarker& m : MarkersOf(file)) adobe += m.code == 0xEE;
    EXPECT_EQ(adobe, 1);
    auto d = Decode(file);
    EXPECT_EQ(d->params.IccProfile, ToBytes("head-tail"));
    const TMarkerList& kept = d->params.JpegMarkers;
    const int first = kept.IndexOf(0xE2);
    ASSERT_GE(first, 0);
    ASSERT_LT(first + 1, kept.Count());
    EXPECT_EQ(kept.DataAt(first)[12], 1);
    EXPECT_EQ(kept.CodeAt(first + 1), 0xE2);
    EXPECT_EQ(kept.DataAt(first + 1)[12], 2);
}

// A Photoshop APP13 block with a resolution resource and an IPTC resource.
Bytes PhotoshopBlock(const Bytes& iim) {
    test::ByteBuilder b;
    b.Text(std::string("Photoshop 3.0\0", 14));
    b.Text("8BIM").Be16(0x03ED).Be16(0).Be32(16);       // resolution, empty name, 16 bytes
    b.Be32(72u << 16).Be16(1).Be16(2).Be32(72u << 16).Be16(1).Be16(2);
    b.Text("8BIM").Be16(0x0404).U8(3).Text("abc").Be32(uint32_t(iim.size()));  // odd name: no pad
    b.Append(iim);
    if (iim.size() & 1) b.U8(0);
    return b.Bytes();
}

TEST(JpegMetadata, IptcAndXmpAreReadFromTheirMarkers) {
    Bytes iim = test::ByteBuilder().U8(0x1C).U8(2).U8(5).Be16(5).Text("Title")
                    .U8(0x1C).U8(2).U8(120).Be16(3).Text("Cap").Bytes();
    Bytes app13 = PhotoshopBlock(iim);
    Bytes xmp = ToBytes(std::string(kXmpSignature, kXmpSignatureLength) + "<x:xmpmeta/>");
    auto picture = BlockPicture(8, 8);
    Bytes file = Encode(*picture, [&](TImageParams& p) {
        p.JpegMarkers.Add(0xED, app13.data(), app13.size());
        p.JpegMarkers.Add(0xE1, xmp.data(), xmp.size());
    });
    auto d = Decode(file);
    ASSERT_EQ(d->params.IptcList.Count(), 2);
    EXPECT_EQ(d->params.IptcList.At(0), (TIptcInfo{2, 5, ToBytes("Title")}));
    EXPECT_EQ(d->params.IptcList.At(1), (TIptcInfo{2, 120, ToBytes("Cap")}));
    EXPECT_FALSE(d->params.IptcList.Modified());
    EXPECT_EQ(d->params.XmpText, "<x:xmpmeta/>");
}

TEST(JpegMetadata, SavePreparationUpdatesResolutionAndRebuildsIptcAndXmp) {
    Bytes iim = test::ByteBuilder().U8(0x1C).U8(2).U8(5).Be16(2).Text("Hi").Bytes();
    Bytes app13 = PhotoshopBlock(iim);
    Bytes oldXmp = ToBytes(std::string(kXmpSignature, kXmpSignatureLength) + "old");
    TImageParams params;
    params.JpegMarkers.Add(0xED, app13.data(), app13.size());
    params.JpegMarkers.Add(0xE1, oldXmp.data(), oldXmp.size());
    params.DpiX = 200;
    params.DpiY = 150;
    params.XmpText = "new";
    PrepareJpegMarkers(params);

    // Resolution resource data starts after signature (14), 8BIM, id, name (2), size (4).
    const int app13Index = params.JpegMarkers.IndexOf(0xED);
    ASSERT_GE(app13Index, 0);
    const uint8_t* r = params.JpegMarkers.DataAt(app13Index) + 14 + 4 + 2 + 2 + 4;
    const Bytes expected = test::ByteBuilder().Be32(200u << 16).Be16(1).Be16(1)
                               .Be32(150u << 16).Be16(1).Be16(1).Bytes();
    EXPECT_EQ(Bytes(r, r + 16), expected);
    // One XMP marker, the new one.
    int xmpCount = 0;
    for (int i = 0; i < params.JpegMarkers.Count(); ++i) {
        if (params.JpegMarkers.CodeAt(i) != 0xE1) continue;
        ++xmpCount;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(params.JpegMarkers.DataAt(i)) + kXmpSignatureLength, 3), "new");
    }
    EXPECT_EQ(xmpCount, 1);

    // A caller's change to the IPTC list replaces the whole Photoshop block.
    params.IptcList.Add(2, 25, std::string("key"));
    PrepareJpegMarkers(params);
    TIptcInfoList reread;
    TPhotoshopResource res;
    ASSERT_TRUE(FindPhotoshopResource(params.JpegMarkers.PayloadAt(params.JpegMarkers.IndexOf(0xED)), 0x0404, res));
    reread.FromIim(params.JpegMarkers.PayloadAt(params.JpegMarkers.IndexOf(0xED)).subspan(res.Offset, res.Size));
    ASSERT_EQ(reread.Count(), 1);
    EXPECT_EQ(reread.At(0), (TIptcInfo{2, 25, ToBytes("key")}));

    // An emptied list removes the block.
    params.IptcList.Clear();
    PrepareJpegMarkers(params);
    EXPECT_EQ(params.JpegMarkers.IndexOf(0xED), -1);
}

TEST(JpegMetadata, IptcRecordsOfAnyLengthSurviveTheIimCoding) {
    TIptcInfoList list;
    Bytes big(40000, 'x');  // from 32768 bytes on the length takes the extended form
    list.Add(2, 5, std::string("short"));
    list.Add(2, 202, big);
    list.Add(1, 90, Bytes{});
    Bytes iim = list.ToIim();
    EXPECT_EQ(iim[3 + 2 + 5 + 3], 0x80);  // second dataset's length field
    TIptcInfoList back;
    back.FromIim(iim);
    ASSERT_EQ(back.Count(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(back.At(i), list.At(i));
    // A dataset whose length runs past the end stops the list there.
    Bytes cut(iim.begin(), iim.begin() + 10 + 6 + 100);
    back.FromIim(cut);
    EXPECT_EQ(back.Count(), 1);
}

// ---------------------------------------------------------------- errors and hostile input

TEST(JpegErrors, MessageTextShowsPlaceholdersAsQuestionMarks) {
    jpeg_error_mgr err;
    jpeg_std_error(&err);
    struct Case {
        int code;
        const char* text;
    };
    const Case cases[] = {
        {JMSG_NOMESSAGE, "Bogus message code ?"},
        {JERR_BAD_PRECISION, "Unsupported JPEG data precision ?"},
        {JERR_IMAGE_TOO_BIG, "Maximum supported image dimension is ? pixels"},
        {JWRN_JPEG_EOF, "Premature end of JPEG file"},
        {JWRN_HIT_MARKER, "Corrupt JPEG data: premature end of data segment"},
        {JWRN_EXTRANEOUS_DATA, "Corrupt JPEG data: ? extraneous bytes before marker 0x?"},
        {-1, "Corrupted"},
        {100000, "Corrupted"},
    };
    for (const Case& c : cases) EXPECT_EQ(detail::JpegMessageText(err, c.code), c.text) << c.code;
}

TEST(JpegWriter, LibraryErrorRaisesEJpegErrorWithTheMessageAndAborts) {
    TImageBuffer wide(70000, 1, pf24RGB);
    wide.Fill(0);
    TImageParams params;
    Progress progress;
    TMemoryStream stream;
    try {
        WriteJpegStream(stream, wide, params, progress.rec);
        FAIL() << "no EJpegError";
    } catch (const EJpegError& e) {
        EXPECT_STREQ(e.what(), "Maximum supported image dimension is ? pixels");
        EXPECT_EQ(e.Code(), JERR_IMAGE_TOO_BIG);
    }
    EXPECT_TRUE(progress.aborting);
}

TEST(JpegWriter, EmptyBufferAndShortWritesSetAborting) {
    {
        TImageBuffer empty;
        TImageParams params;
        Progress progress;
        TMemoryStream stream;
        WriteJpegStream(stream, empty, params, progress.rec);
        EXPECT_TRUE(progress.aborting);
        EXPECT_EQ(stream.Size(), 0);
    }
    // A stream that takes only `limit` bytes, as a full disk does.
    class ShortStream : public TMemoryStream {
    public:
        explicit ShortStream(size_t limit) : m_limit(limit) {}
        size_t Write(const void* buffer, size_t count) override {
            size_t n = std::min(count, m_limit - std::min(m_limit, size_t(Size())));
            return TMemoryStream::Write(buffer, n);
        }

    private:
        size_t m_limit;
    };
    auto picture = BlockPicture(64, 64);
    const size_t full = Encode(*picture).size();
    for (size_t limit : {size_t(0), full - 1, size_t(70000)}) {
        // 70000: the first full 65536-byte buffer fits, the final partial one does not.
        auto big = BlockPicture(limit == 70000 ? 1024 : 64, limit == 70000 ? 512 : 64);
        TImageParams params;
        params.JpegQuality = 100;
        Progress progress;
        ShortStream stream(limit);
        EXPECT_NO_THROW(WriteJpegStream(stream, *big, params, progress.rec));
        EXPECT_TRUE(progress.aborting) << limit;
    }
}

TEST(JpegReader, StartOfImageIsFoundWithin150Bytes) {
    auto picture = BlockPicture(8, 8);
    Bytes file = Encode(*picture);
    for (size_t junk : {size_t(0), size_t(1), size_t(149), size_t(150), size_t(400)}) {
        Bytes padded(junk, 0);
        padded.insert(padded.end(), file.begin(), file.end());
        auto d = Decode(padded);
        EXPECT_EQ(d->aborted, junk >= 150) << junk;
        EXPECT_EQ(d->rows, junk >= 150 ? 0 : 8) << junk;
    }
}

TEST(JpegReader, EveryPrefixOfAFileEndsWithAbortingAndNothingWorse) {
    auto picture = BlockPicture(16, 32);
    for (bool progressive : {false, true}) {
        SCOPED_TRACE(progressive ? "progressive" : "baseline");
        Bytes file = Encode(*picture, [&](TImageParams& p) {
            p.JpegProgressive = progressive;
            p.JpegMarkers.Add(0xFE, "comment", 7);
        });
        auto whole = Decode(file);
        ASSERT_FALSE(whole->aborted);
        for (size_t length = 0; length < file.size(); ++length) {
            Bytes prefix(file.begin(), file.begin() + long(length));
            auto d = Decode(prefix);
            ASSERT_TRUE(d->aborted) << length;
            ASSERT_LE(d->rows, 32) << length;
        }
    }
}

TEST(JpegReader, TruncatedBaselineKeepsTheRowsDecoded) {
    // Noise, so that the scan data and not the tables make up most of the file.
    TImageBuffer picture(16, 64, pf24RGB);
    uint32_t seed = 1;
    for (int y = 0; y < 64; ++y) {
        for (uint8_t& b : picture.Row(y)) b = uint8_t((seed = seed * 1103515245 + 12345) >> 24);
    }
    Bytes file = Encode(picture);
    auto whole = Decode(file);
    Bytes half(file.begin(), file.begin() + long(file.size() * 3 / 4));
    auto d = Decode(half);
    EXPECT_TRUE(d->aborted);
    EXPECT_GE(d->params.JpegWarningCount, 1);
    ASSERT_EQ(d->rows, 64);
    // The top rows are all in the first three quarters of the data.
    for (int y = 0; y < 16; ++y) {
        ASSERT_EQ(std::memcmp(d->image->RowPointer(y), whole->image->RowPointer(y), 16 * 3), 0) << y;
    }
}

TEST(JpegReader, WarningsAreCountedAndClearedByTheNextRead) {
    auto picture = BlockPicture(8, 8);
    Bytes file = Encode(*picture);
    // Three stray bytes before the DQT marker that follows the 20-byte JFIF header.
    ASSERT_EQ(file[20], 0xFF);
    ASSERT_EQ(file[21], 0xDB);
    Bytes junk = file;
    junk.insert(junk.begin() + 20, {1, 2, 3});
    auto d = Decode(junk);
    EXPECT_FALSE(d->aborted);
    EXPECT_EQ(d->params.JpegWarningCount, 1);
    EXPECT_EQ(d->params.JpegWarningCode, JWRN_EXTRANEOUS_DATA);

    Progress progress;
    TMemoryStream clean(file.data(), file.size());
    ReadJpegStream(clean, nullptr, *d->image, false, -1, true, true, false, true, false, false,
                   progress.rec, d->params);
    EXPECT_EQ(d->params.JpegWarningCount, 0);
    EXPECT_EQ(d->params.JpegWarningCode, 0);
}

TEST(JpegReader, AbortingAndMaxRowsStopTheRows) {
    auto picture = BlockPicture(8, 40);
    Bytes file = Encode(*picture);
    auto limited = Decode(file, {.maxRows = 10});
    EXPECT_EQ(limited->rows, 10);
    EXPECT_FALSE(limited->aborted);

    TImageBuffer image;
    TImageParams params;
    Progress progress;
    int calls = 0;
    progress.rec.fOnProgress = [&](void*, int percent) {
        ++calls;
        if (percent >= 25) progress.aborting = true;  // a Cancel from another thread
    };
    TMemoryStream stream(file.data(), file.size());
    int rows = ReadJpegStream(stream, nullptr, image, false, -1, true, true, false, true, false,
                              false, progress.rec, params);
    EXPECT_EQ(rows, 10);  // row 10 of 40 reports 25 %
    EXPECT_GT(calls, 0);
}

// ---------------------------------------------------------------- through the frame

TEST(JpegFrame, SaveAndLoadThroughTheFrameKeepMarkersAndScale) {
    test::TempDir dir;
    const auto path = dir / "picture.jpg";
    {
        TImageIO io;
        io.IOBitmap()->Allocate(64, 48, pf8p);  // a palette buffer crosses as pf24RGB
        io.IOBitmap()->Fill(0);
        io.IOBitmap()->PaletteEntry(0, {10, 200, 30});
        io.Params().JpegMarkers.Add(0xFE, "kept", 4);
        io.Params().SetDpiX(96);
        io.Params().SetDpiY(96);
        io.SaveJpegFile(path);
        EXPECT_FALSE(io.Aborting);
        EXPECT_EQ(io.Params().FileType, ftJPEG);
    }
    TImageIO io;
    io.Params().JpegScale = 0;
    io.Params().Width = 30;
    io.Params().Height = 20;
    io.LoadFile(path);
    ASSERT_FALSE(io.Aborting);
    EXPECT_EQ(io.Params().FileType, ftJPEG);
    EXPECT_EQ(io.Params().JpegScaleUsed, 2);
    EXPECT_EQ(io.IOBitmap()->Width(), 32);
    EXPECT_EQ(io.IOBitmap()->Height(), 24);
    EXPECT_EQ(io.Params().DpiX, 96);
    TBGRTriple c = io.IOBitmap()->GetPixel24(5, 5);
    EXPECT_NEAR(c.rgbtBlue, 10, 3);
    EXPECT_NEAR(c.rgbtGreen, 200, 3);
    EXPECT_NEAR(c.rgbtRed, 30, 3);
    ASSERT_EQ(io.Params().JpegMarkers.Count(), 1);
    EXPECT_EQ(io.Params().JpegMarkers.CodeAt(0), 0xFE);

    io.ReadFileParams(path);
    EXPECT_EQ(io.Params().FileType, ftJPEG);
    EXPECT_EQ(io.Params().Width, 64);
    EXPECT_EQ(io.Params().Height, 48);

    // A second load leaves nothing of the first file's markers and metadata.
    TImageBuffer plain(8, 8, pf24RGB);
    plain.Fill(50);
    Bytes bare = Encode(plain);
    io.Params().XmpText = "left over";
    TMemoryStream stream(bare.data(), bare.size());
    io.LoadJpegStream(stream);
    EXPECT_FALSE(io.Aborting);
    EXPECT_EQ(io.Params().JpegMarkers.Count(), 0);
    EXPECT_TRUE(io.Params().XmpText.empty());
}

}  // namespace
}  // namespace morvane
