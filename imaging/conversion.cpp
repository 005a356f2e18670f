// Pixel-format conversion: TImageBuffer::ConvertFrom and the PixelFormat setter.
//
// Every supported (destination, source) pair has one row converter, picked from a table
// once per image; the per-pixel rules live in small source "readers" and destination
// "writers" that the compiler fuses into one loop per pair.

#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "colorconv.h"
#include "imagebuffer.h"
#include "quantizer.h"

namespace morvane {

namespace {

// What a row converter may need besides the two rows.
struct RowJob {
    const TBGRTriple* palette = nullptr;         // the source's palette (pf8p sources)
    const TColorQuantizer* quantizer = nullptr;  // pf24RGB -> pf8p
    int y = 0;                                   // row number (ordered dither)
    int threshold = 0;                           // grey threshold (mmThreshold)
    uint8_t* scratch = nullptr;                  // one pf24RGB row
};
using RowConverter = void (*)(const uint8_t* src, uint8_t* dst, int width, const RowJob& job);

uint16_t ReadWord(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
void WriteWord(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
float ReadFloat(const uint8_t* p) {
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void WriteFloat(uint8_t* p, float v) { std::memcpy(p, &v, sizeof v); }

// Trunc(v * scale) for float samples. Samples outside 0..1 (or NaN) would not fit the
// integer format; they are held at its ends instead of wrapping.
int TruncScaled(float v, double scale, int max) {
    double s = double(v) * scale;
    if (!(s > 0.0)) return 0;
    if (s >= max) return max;
    return int(s);
}

// --- source readers: one per source format, each answering what the destinations ask ---

struct Src1g {
    static bool Bit(const uint8_t* row, int x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }
    static TBGRTriple Bgr(const uint8_t* row, int x, const RowJob&) {
        uint8_t v = Bit(row, x) ? 255 : 0;
        return {v, v, v};
    }
    static uint8_t Gray8(const uint8_t* row, int x, const RowJob&) { return Bit(row, x) ? 255 : 0; }
    static uint16_t Gray16(const uint8_t* row, int x, const RowJob&) {
        return Bit(row, x) ? 65535 : 0;
    }
    static float Float(const uint8_t* row, int x, const RowJob&) { return Bit(row, x) ? 1.0f : 0.0f; }
    static TRGB48Pixel Rgb48(const uint8_t* row, int x, const RowJob&) {
        uint16_t v = Bit(row, x) ? 65535 : 0;
        return {v, v, v};
    }
    static uint8_t Index(const uint8_t* row, int x, const RowJob&) { return Bit(row, x); }
};

struct Src8p {
    static TBGRTriple Bgr(const uint8_t* row, int x, const RowJob& job) {
        return job.palette[row[x]];
    }
    static uint8_t Gray8(const uint8_t* row, int x, const RowJob& job) {
        return uint8_t(GrayOf(job.palette[row[x]]));
    }
    static uint16_t Gray16(const uint8_t* row, int x, const RowJob& job) {
        TBGRTriple c = job.palette[row[x]];
        return Gray16Of8(c.rgbtRed, c.rgbtGreen, c.rgbtBlue);
    }
    static float Float(const uint8_t* row, int x, const RowJob& job) {
        TBGRTriple c = job.palette[row[x]];
        return GrayFloatOf8(c.rgbtRed, c.rgbtGreen, c.rgbtBlue);
    }
    static TRGB48Pixel Rgb48(const uint8_t* row, int x, const RowJob& job) {
        TBGRTriple c = job.palette[row[x]];
        return {uint16_t(c.rgbtRed * 257), uint16_t(c.rgbtGreen * 257), uint16_t(c.rgbtBlue * 257)};
    }
};

struct Src8g {
    static TBGRTriple Bgr(const uint8_t* row, int x, const RowJob&) { return {row[x], row[x], row[x]}; }
    static uint8_t Gray8(const uint8_t* row, int x, const RowJob&) { return row[x]; }
    static uint16_t Gray16(const uint8_t* row, int x, const RowJob&) { return uint16_t(row[x] * 257); }
    static float Float(const uint8_t* row, int x, const RowJob&) { return float(row[x] / 255.0); }
    static TRGB48Pixel Rgb48(const uint8_t* row, int x, const RowJob&) {
        auto v = uint16_t(row[x] * 257);
        return {v, v, v};
    }
    static uint8_t Index(const uint8_t* row, int x, const RowJob&) { return row[x]; }
};

struct SrcGray16 {
    static uint8_t High(const uint8_t* row, int x) { return row[2 * x + 1]; }
    static TBGRTriple Bgr(const uint8_t* row, int x, const RowJob&) {
        uint8_t v = High(row, x);
        return {v, v, v};
    }
    static uint8_t Gray8(const uint8_t* row, int x, const RowJob&) { return High(row, x); }
    static float Float(const uint8_t* row, int x, const RowJob&) {
        return float(ReadWord(row + 2 * x) / 65535.0);
    }
    static TRGB48Pixel Rgb48(const uint8_t* row, int x, const RowJob&) {
        uint16_t v = ReadWord(row + 2 * x);
        return {v, v, v};
    }
    static uint8_t Index(const uint8_t* row, int x, const RowJob&) { return High(row, x); }
};

struct Src24 {
    static TBGRTriple Bgr(const uint8_t* row, int x, const RowJob&) {
        const uint8_t* p = row + 3 * x;
        return {p[0], p[1], p[2]};
    }
    static uint8_t Gray8(const uint8_t* row, int x, const RowJob&) {
        const uint8_t* p = row + 3 * x;
        return uint8_t(GrayOf(p[2], p[1], p[0]));
    }
    static uint16_t Gray16(const uint8_t* row, int x, const RowJob&) {
        const uint8_t* p = row + 3 * x;
        return Gray16Of8(p[2], p[1], p[0]);
    }
    static float Float(const uint8_t* row, int x, const RowJob&) {
        const uint8_t* p = row + 3 * x;
        return GrayFloatOf8(p[2], p[1], p[0]);
    }
    static TRGB48Pixel Rgb48(const uint8_t* row, int x, const RowJob&) {
        const uint8_t* p = row + 3 * x;
        return {uint16_t(p[2] * 257), uint16_t(p[1] * 257), uint16_t(p[0] * 257)};
    }
};

struct Src32f {
    static uint8_t Byte(const uint8_t* row, int x) {
        return uint8_t(TruncScaled(ReadFloat(row + 4 * x), 255.0, 255));
    }
    static uint16_t Word(const uint8_t* row, int x) {
        return uint16_t(TruncScaled(ReadFloat(row + 4 * x), 65535.0, 65535));
    }
    static TBGRTriple Bgr(const uint8_t* row, int x, const RowJob&) {
        uint8_t v = Byte(row, x);
        return {v, v, v};
    }
    // For the ordered dither a float sample stands for the grey Trunc(v * 255), as it does
    // everywhere else.
    static uint8_t Gray8(const uint8_t* row, int x, const RowJob&) { return Byte(row, x); }
    static uint16_t Gray16(const uint8_t* row, int x, const RowJob&) { return Word(row, x); }
    static TRGB48Pixel Rgb48(const uint8_t* row, int x, const RowJob&) {
        uint16_t v = Word(row, x);
        return {v, v, v};
    }
    static uint8_t Index(const uint8_t* row, int x, const RowJob&) { return Byte(row, x); }
};

struct SrcRGB48 {
    static TBGRTriple Bgr(const uint8_t* row, int x, const RowJob&) {
        const uint8_t* p = row + 6 * x;
        return {p[5], p[3], p[1]};  // high bytes of the little-endian words R, G, B
    }
    static uint8_t Gray8(const uint8_t* row, int x, const RowJob&) {
        const uint8_t* p = row + 6 * x;
        return uint8_t(GrayOf(p[1], p[3], p[5]));
    }
    static uint16_t Gray16(const uint8_t* row, int x, const RowJob&) {
        const uint8_t* p = row + 6 * x;
        return Gray16Of16(ReadWord(p), ReadWord(p + 2), ReadWord(p + 4));
    }
    static float Float(const uint8_t* row, int x, const RowJob&) {
        const uint8_t* p = row + 6 * x;
        return GrayFloatOf16(ReadWord(p), ReadWord(p + 2), ReadWord(p + 4));
    }
};

struct SrcRGBX {
    static TBGRTriple Bgr(const uint8_t* row, int x, const RowJob&) {
        const uint8_t* p = row + 4 * x;
        return {p[0], p[1], p[2]};
    }
};

struct SrcLab {
    static TBGRTriple Bgr(const uint8_t* row, int x, const RowJob&) {
        const uint8_t* p = row + 3 * x;
        return CIELabToRGB(p[0], int8_t(p[1]), int8_t(p[2]));
    }
};

// --- destination writers ---

struct To8g {
    template <class Src>
    static void Put(const uint8_t* src, uint8_t* dst, int x, const RowJob& job) {
        dst[x] = Src::Gray8(src, x, job);
    }
};
struct ToGray16 {
    template <class Src>
    static void Put(const uint8_t* src, uint8_t* dst, int x, const RowJob& job) {
        WriteWord(dst + 2 * x, Src::Gray16(src, x, job));
    }
};
struct To24 {
    template <class Src>
    static void Put(const uint8_t* src, uint8_t* dst, int x, const RowJob& job) {
        TBGRTriple c = Src::Bgr(src, x, job);
        uint8_t* p = dst + 3 * x;
        p[0] = c.rgbtBlue, p[1] = c.rgbtGreen, p[2] = c.rgbtRed;
    }
};
struct ToRGBX {
    template <class Src>
    static void Put(const uint8_t* src, uint8_t* dst, int x, const RowJob& job) {
        TBGRTriple c = Src::Bgr(src, x, job);
        uint8_t* p = dst + 4 * x;
        p[0] = c.rgbtBlue, p[1] = c.rgbtGreen, p[2] = c.rgbtRed, p[3] = 255;
    }
};
struct To32f {
    template <class Src>
    static void Put(const uint8_t* src, uint8_t* dst, int x, const RowJob& job) {
        WriteFloat(dst + 4 * x, Src::Float(src, x, job));
    }
};
struct ToRGB48 {
    template <class Src>
    static void Put(const uint8_t* src, uint8_t* dst, int x, const RowJob& job) {
        TRGB48Pixel c = Src::Rgb48(src, x, job);
        uint8_t* p = dst + 6 * x;
        WriteWord(p, c.r), WriteWord(p + 2, c.g), WriteWord(p + 4, c.b);
    }
};
struct To8p {  // grey and black-and-white sources: the index is the value
    template <class Src>
    static void Put(const uint8_t* src, uint8_t* dst, int x, const RowJob& job) {
        dst[x] = Src::Index(src, x, job);
    }
};
struct ToQuantized {
    template <class Src>
    static void Put(const uint8_t* src, uint8_t* dst, int x, const RowJob& job) {
        TBGRTriple c = Src::Bgr(src, x, job);
        int color = (c.rgbtRed << 16) | (c.rgbtGreen << 8) | c.rgbtBlue;
        dst[x] = uint8_t(job.quantizer->ColorIndex(color));
    }
};
struct ToLab {
    template <class Src>
    static void Put(const uint8_t* src, uint8_t* dst, int x, const RowJob& job) {
        TLabBytes v = RGBToCIELab(Src::Bgr(src, x, job));
        uint8_t* p = dst + 3 * x;
        p[0] = v.L, p[1] = uint8_t(v.a), p[2] = uint8_t(v.b);
    }
};

template <class Src, class Dst>
void ConvertRow(const uint8_t* src, uint8_t* dst, int width, const RowJob& job) {
    for (int x = 0; x < width; ++x) Dst::template Put<Src>(src, dst, x, job);
}

// CMYK goes a whole row per colour-transform call.
void CmykTo24(const uint8_t* src, uint8_t* dst, int width, const RowJob&) {
    CMYKToRGBRow(src, dst, width);
}
void CmykToRGBX(const uint8_t* src, uint8_t* dst, int width, const RowJob& job) {
    CMYKToRGBRow(src, job.scratch, width);
    for (int x = 0; x < width; ++x) {
        std::memcpy(dst + 4 * x, job.scratch + 3 * x, 3);
        dst[4 * x + 3] = 255;
    }
}
void Rgb24ToCmyk(const uint8_t* src, uint8_t* dst, int width, const RowJob&) {
    RGBToCMYKRow(src, dst, width);
}

// --- black and white ---

// Bayer matrix, indexed [x mod 8][y mod 8].
constexpr uint8_t kBayer[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},   {48, 16, 56, 24, 50, 18, 58, 26},
    {12, 44, 4, 36, 14, 46, 6, 38},  {60, 28, 52, 20, 62, 30, 54, 22},
    {3, 35, 11, 43, 1, 33, 9, 41},   {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37},  {63, 31, 55, 23, 61, 29, 53, 21},
};

// Packs bits most significant first (1 = white); the padding bits of a last partial byte
// keep what they held.
template <class BitOf>
void PackBits(uint8_t* dst, int width, BitOf bitOf) {
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        unsigned byte = 0;
        for (int i = 0; i < 8; ++i) byte = (byte << 1) | (bitOf(x + i) ? 1u : 0u);
        dst[x >> 3] = uint8_t(byte);
    }
    if (x < width) {
        int n = width - x;
        unsigned bits = 0;
        for (int i = 0; i < n; ++i) bits = (bits << 1) | (bitOf(x + i) ? 1u : 0u);
        unsigned keep = 0xFFu >> n;
        dst[x >> 3] = uint8_t((dst[x >> 3] & keep) | ((bits << (8 - n)) & ~keep));
    }
}

template <class Src>
void DitherRow(const uint8_t* src, uint8_t* dst, int width, const RowJob& job) {
    const int ym = job.y & 7;
    PackBits(dst, width,
             [&](int x) { return kBayer[x & 7][ym] < Src::Gray8(src, x, job) / 4; });
}

template <class Src>
void ThresholdRow(const uint8_t* src, uint8_t* dst, int width, const RowJob& job) {
    PackBits(dst, width, [&](int x) { return GrayOf(Src::Bgr(src, x, job)) >= job.threshold; });
}

// Per-channel means of one row (sum div width), added into `means` (red, green, blue).
using RowMeans = void (*)(const uint8_t* src, int width, const RowJob& job, int64_t means[3]);
template <class Src>
void AddRowMeans(const uint8_t* src, int width, const RowJob& job, int64_t means[3]) {
    int64_t r = 0, g = 0, b = 0;
    for (int x = 0; x < width; ++x) {
        TBGRTriple c = Src::Bgr(src, x, job);
        r += c.rgbtRed, g += c.rgbtGreen, b += c.rgbtBlue;
    }
    means[0] += r / width, means[1] += g / width, means[2] += b / width;
}

using ConverterTable = std::array<std::array<RowConverter, kPixelFormatCount>, kPixelFormatCount>;

// [destination][source]; an empty entry means "by way of pf24RGB". pf1g destinations are
// in the black-and-white tables below.
constexpr ConverterTable kConverters = [] {
    ConverterTable t{};
    t[pf8p][pf1g] = &ConvertRow<Src1g, To8p>;
    t[pf8p][pf8g] = &ConvertRow<Src8g, To8p>;
    t[pf8p][pfGray16] = &ConvertRow<SrcGray16, To8p>;
    t[pf8p][pf32f] = &ConvertRow<Src32f, To8p>;
    t[pf8p][pf24RGB] = &ConvertRow<Src24, ToQuantized>;

    t[pf8g][pf1g] = &ConvertRow<Src1g, To8g>;
    t[pf8g][pf8p] = &ConvertRow<Src8p, To8g>;
    t[pf8g][pfGray16] = &ConvertRow<SrcGray16, To8g>;
    t[pf8g][pf24RGB] = &ConvertRow<Src24, To8g>;
    t[pf8g][pf32f] = &ConvertRow<Src32f, To8g>;
    t[pf8g][pfRGB48] = &ConvertRow<SrcRGB48, To8g>;

    t[pfGray16][pf1g] = &ConvertRow<Src1g, ToGray16>;
    t[pfGray16][pf8p] = &ConvertRow<Src8p, ToGray16>;
    t[pfGray16][pf24RGB] = &ConvertRow<Src24, ToGray16>;
    t[pfGray16][pf8g] = &ConvertRow<Src8g, ToGray16>;
    t[pfGray16][pf32f] = &ConvertRow<Src32f, ToGray16>;
    t[pfGray16][pfRGB48] = &ConvertRow<SrcRGB48, ToGray16>;

    t[pf24RGB][pf1g] = &ConvertRow<Src1g, To24>;
    t[pf24RGB][pf8p] = &ConvertRow<Src8p, To24>;
    t[pf24RGB][pf8g] = &ConvertRow<Src8g, To24>;
    t[pf24RGB][pfGray16] = &ConvertRow<SrcGray16, To24>;
    t[pf24RGB][pf32f] = &ConvertRow<Src32f, To24>;
    t[pf24RGB][pfCMYK] = &CmykTo24;
    t[pf24RGB][pfRGB48] = &ConvertRow<SrcRGB48, To24>;
    t[pf24RGB][pfCIELab] = &ConvertRow<SrcLab, To24>;
    t[pf24RGB][pf32RGBX] = &ConvertRow<SrcRGBX, To24>;

    t[pf32f][pf1g] = &ConvertRow<Src1g, To32f>;
    t[pf32f][pf8p] = &ConvertRow<Src8p, To32f>;
    t[pf32f][pf24RGB] = &ConvertRow<Src24, To32f>;
    t[pf32f][pfRGB48] = &ConvertRow<SrcRGB48, To32f>;
    t[pf32f][pf8g] = &ConvertRow<Src8g, To32f>;
    t[pf32f][pfGray16] = &ConvertRow<SrcGray16, To32f>;

    t[pfCMYK][pf24RGB] = &Rgb24ToCmyk;

    t[pfRGB48][pf1g] = &ConvertRow<Src1g, ToRGB48>;
    t[pfRGB48][pf8p] = &ConvertRow<Src8p, ToRGB48>;
    t[pfRGB48][pf24RGB] = &ConvertRow<Src24, ToRGB48>;
    t[pfRGB48][pf8g] = &ConvertRow<Src8g, ToRGB48>;
    t[pfRGB48][pfGray16] = &ConvertRow<SrcGray16, ToRGB48>;
    t[pfRGB48][pf32f] = &ConvertRow<Src32f, ToRGB48>;

    t[pfCIELab][pf24RGB] = &ConvertRow<Src24, ToLab>;

    t[pf32RGBX][pf1g] = &ConvertRow<Src1g, ToRGBX>;
    t[pf32RGBX][pf8p] = &ConvertRow<Src8p, ToRGBX>;
    t[pf32RGBX][pf8g] = &ConvertRow<Src8g, ToRGBX>;
    t[pf32RGBX][pfGray16] = &ConvertRow<SrcGray16, ToRGBX>;
    t[pf32RGBX][pf24RGB] = &ConvertRow<Src24, ToRGBX>;
    t[pf32RGBX][pf32f] = &ConvertRow<Src32f, ToRGBX>;
    t[pf32RGBX][pfCMYK] = &CmykToRGBX;
    t[pf32RGBX][pfRGB48] = &ConvertRow<SrcRGB48, ToRGBX>;
    t[pf32RGBX][pfCIELab] = &ConvertRow<SrcLab, ToRGBX>;
    return t;
}();

using MonoTable = std::array<RowConverter, kPixelFormatCount>;
constexpr MonoTable kDitherRows = [] {
    MonoTable t{};
    t[pf8p] = &DitherRow<Src8p>;
    t[pf8g] = &DitherRow<Src8g>;
    t[pfGray16] = &DitherRow<SrcGray16>;
    t[pf24RGB] = &DitherRow<Src24>;
    t[pf32f] = &DitherRow<Src32f>;
    t[pfRGB48] = &DitherRow<SrcRGB48>;
    return t;
}();
// pfRGB48 goes by way of pf24RGB for the threshold rule.
constexpr MonoTable kThresholdRows = [] {
    MonoTable t{};
    t[pf8p] = &ThresholdRow<Src8p>;
    t[pf8g] = &ThresholdRow<Src8g>;
    t[pfGray16] = &ThresholdRow<SrcGray16>;
    t[pf24RGB] = &ThresholdRow<Src24>;
    t[pf32f] = &ThresholdRow<Src32f>;
    return t;
}();
constexpr std::array<RowMeans, kPixelFormatCount> kRowMeans = [] {
    std::array<RowMeans, kPixelFormatCount> t{};
    t[pf8p] = &AddRowMeans<Src8p>;
    t[pf8g] = &AddRowMeans<Src8g>;
    t[pfGray16] = &AddRowMeans<SrcGray16>;
    t[pf24RGB] = &AddRowMeans<Src24>;
    t[pf32f] = &AddRowMeans<Src32f>;
    return t;
}();

RowConverter FindConverter(TPixelFormatKind dst, TPixelFormatKind src, TMonoMethod mono) {
    if (dst == pf1g) return (mono == mmOrderedDither ? kDitherRows : kThresholdRows)[src];
    return kConverters[dst][src];
}

// The grey of the mean colour: means per row and channel, then over the rows.
int ImageThreshold(const TImageBuffer& source, const RowJob& job) {
    const RowMeans addRow = kRowMeans[source.PixelFormat()];
    int64_t means[3] = {0, 0, 0};
    for (int y = 0; y < source.Height(); ++y) addRow(source.RowPointer(y), source.Width(), job, means);
    const int64_t h = source.Height();
    return GrayOf(int(means[0] / h), int(means[1] / h), int(means[2] / h));
}

void SetGrayRamp(TBGRTriple* palette) {
    for (int i = 0; i < 256; ++i) palette[i] = {uint8_t(i), uint8_t(i), uint8_t(i)};
}

void ConvertPixels(TImageBuffer& source, TImageBuffer& dest) {
    const TPixelFormatKind dst = dest.PixelFormat();
    if (source.PixelFormat() == dst) return;  // equal formats copy nothing
    RowConverter convert = FindConverter(dst, source.PixelFormat(), dest.MonoMethod);
    if (!convert) {
        // By way of pf24RGB: the source itself changes format.
        source.PixelFormat(pf24RGB);
        if (source.PixelFormat() != pf24RGB) return;  // no memory for the intermediate
        convert = FindConverter(dst, pf24RGB, dest.MonoMethod);
        if (!convert) return;
    }

    RowJob job;
    job.palette = source.Palette();
    if (source.PixelFormat() == pf8p && !job.palette) return;

    std::optional<TColorQuantizer> quantizer;
    if (dst == pf8p) {
        TBGRTriple* palette = dest.Palette();
        if (!palette) return;
        std::fill_n(palette, 256, TBGRTriple{});
        switch (source.PixelFormat()) {
        case pf1g:
            palette[1] = {255, 255, 255};
            break;
        case pf24RGB:
            quantizer.emplace(source, palette, 0, dest.PaletteColors);
            job.quantizer = &*quantizer;
            break;
        default:
            SetGrayRamp(palette);
            break;
        }
    }
    if (dst == pf1g && dest.MonoMethod != mmOrderedDither) job.threshold = ImageThreshold(source, job);

    std::vector<uint8_t> scratch;
    if (source.PixelFormat() == pfCMYK) {
        scratch.resize(size_t(source.Width()) * 3);
        job.scratch = scratch.data();
    }

    const int width = source.Width();
    for (int y = 0; y < source.Height(); ++y) {
        job.y = y;
        convert(source.RowPointer(y), dest.RowPointer(y), width, job);
    }
}

}  // namespace

void TImageBuffer::ConvertFrom(TImageBuffer& source) {
    if (&source == this) return;
    if (source.Width() != m_width || source.Height() != m_height) return;
    if (m_location == lkPlatformBitmap) return;
    if (!source.IsEmpty() && !IsEmpty()) ConvertPixels(source, *this);
    SetAlpha(source.TakeAlpha());
}

void TImageBuffer::PixelFormat(TPixelFormatKind format) {
    if (format == m_format || IsEmpty() || m_location == lkPlatformBitmap) return;
    if (format <= pfNoFormat || format >= kPixelFormatCount) return;
    const int width = m_width, height = m_height;

    // AdoptPixelsOf empties the buffer it takes from, alpha included: move the alpha apart.
    std::unique_ptr<TImageBuffer> alpha = TakeAlpha();
    TImageBuffer scratch;
    scratch.AdoptPixelsOf(*this);
    scratch.SetAlpha(std::move(alpha));
    if (!Allocate(width, height, format)) {
        // Keep the image rather than lose it when the new format does not fit in memory.
        alpha = scratch.TakeAlpha();
        AdoptPixelsOf(scratch);
        SetAlpha(std::move(alpha));
        return;
    }
    ConvertFrom(scratch);
}

}  // namespace morvane
