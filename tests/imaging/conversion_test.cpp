#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "colorconv.h"
#include "imagebuffer.h"

namespace morvane {
namespace {

using Bytes = std::vector<uint8_t>;

// Little-endian 16-bit words as bytes.
Bytes Words(std::initializer_list<uint16_t> words) {
    Bytes out;
    for (uint16_t w : words) {
        out.push_back(uint8_t(w));
        out.push_back(uint8_t(w >> 8));
    }
    return out;
}

Bytes Floats(std::initializer_list<float> values) {
    Bytes out(values.size() * 4);
    std::memcpy(out.data(), values.begin(), out.size());
    return out;
}

// Turns colour management off for one test, so CMYK follows the formulas.
class FormulaCmyk {
public:
    FormulaCmyk() : m_saved(CMYKColorManagement) { CMYKColorManagement = false; }
    ~FormulaCmyk() { CMYKColorManagement = m_saved; }

private:
    bool m_saved;
};

void FillRow(TImageBuffer& buffer, int row, const Bytes& bytes) {
    ASSERT_LE(bytes.size(), size_t(buffer.RowLen()));
    std::memcpy(buffer.RowPointer(row), bytes.data(), bytes.size());
}

Bytes RowBytes(const TImageBuffer& buffer, int row, size_t count) {
    const uint8_t* p = buffer.RowPointer(row);
    return Bytes(p, p + count);
}

// Two-pixel, one-row fixtures. Colours used throughout:
//   A = R 100, G 200, B 10: grey 163, 16-bit grey 42289, float grey 0.647146
//   red = R 255: grey 53, 16-bit grey 13893, float grey 0.2126
struct TableCase {
    std::string name;
    TPixelFormatKind source;
    Bytes sourceRow;
    std::vector<TBGRTriple> sourcePalette;
    TPixelFormatKind destination;
    Bytes expected;  // the destination row's pixel bytes (pf1g: the one byte, padding kept)
    TPixelFormatKind sourceAfter;
    std::vector<TBGRTriple> expectedPalette = {};
};

const std::vector<TBGRTriple> kPaletteRedA = {{0, 0, 255}, {10, 200, 100}};  // entry 0 red, 1 A

std::vector<TableCase> TableCases() {
    const Bytes oneBit = {0x40};  // pixel 0 black, pixel 1 white
    const Bytes rgbA_white = {10, 200, 100, 255, 255, 255};
    return {
        // from pf1g
        {"1g_to_8g", pf1g, oneBit, {}, pf8g, {0, 255}, pf1g},
        {"1g_to_Gray16", pf1g, oneBit, {}, pfGray16, Words({0, 65535}), pf1g},
        {"1g_to_24", pf1g, oneBit, {}, pf24RGB, {0, 0, 0, 255, 255, 255}, pf1g},
        {"1g_to_32f", pf1g, oneBit, {}, pf32f, Floats({0.0f, 1.0f}), pf1g},
        {"1g_to_8p", pf1g, oneBit, {}, pf8p, {0, 1}, pf1g, {{0, 0, 0}, {255, 255, 255}}},
        {"1g_to_RGB48", pf1g, oneBit, {}, pfRGB48, Words({0, 0, 0, 65535, 65535, 65535}), pf1g},
        {"1g_to_RGBX", pf1g, oneBit, {}, pf32RGBX, {0, 0, 0, 255, 255, 255, 255, 255}, pf1g},
        {"1g_to_Lab_via24", pf1g, oneBit, {}, pfCIELab, {0, 0, 0, 250, 0, 0}, pf24RGB},
        {"1g_to_CMYK_via24", pf1g, oneBit, {}, pfCMYK, {0, 0, 0, 1, 255, 255, 255, 255}, pf24RGB},
        // from pf8p (pixels: red, A)
        {"8p_to_8g", pf8p, {0, 1}, kPaletteRedA, pf8g, {53, 163}, pf8p},
        {"8p_to_Gray16", pf8p, {0, 1}, kPaletteRedA, pfGray16, Words({13893, 42289}), pf8p},
        {"8p_to_24", pf8p, {0, 1}, kPaletteRedA, pf24RGB, {0, 0, 255, 10, 200, 100}, pf8p},
        {"8p_to_32f", pf8p, {0, 1}, kPaletteRedA, pf32f, Floats({0.2126f, 0.647146f}), pf8p},
        {"8p_to_RGB48", pf8p, {0, 1}, kPaletteRedA, pfRGB48,
         Words({65535, 0, 0, 25700, 51400, 2570}), pf8p},
        {"8p_to_RGBX", pf8p, {0, 1}, kPaletteRedA, pf32RGBX, {0, 0, 255, 255, 10, 200, 100, 255},
         pf8p},
        // threshold: the grey of the mean colour (177, 100, 5) is 108: red 53 black, A 163 white
        {"8p_to_1g_threshold", pf8p, {0, 1}, kPaletteRedA, pf1g, {0x55}, pf8p},
        {"8p_to_CMYK_via24", pf8p, {0, 1}, kPaletteRedA, pfCMYK,
         {255, 0, 0, 255, 127, 255, 12, 200}, pf24RGB},
        // from pf8g
        {"8g_to_8p", pf8g, {0, 200}, {}, pf8p, {0, 200}, pf8g,
         {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}},
        {"8g_to_Gray16", pf8g, {0, 200}, {}, pfGray16, Words({0, 51400}), pf8g},
        {"8g_to_24", pf8g, {0, 200}, {}, pf24RGB, {0, 0, 0, 200, 200, 200}, pf8g},
        {"8g_to_32f", pf8g, {0, 200}, {}, pf32f, Floats({0.0f, 200.0f / 255.0f}), pf8g},
        {"8g_to_RGB48", pf8g, {0, 200}, {}, pfRGB48, Words({0, 0, 0, 51400, 51400, 51400}), pf8g},
        {"8g_to_1g_threshold", pf8g, {0, 200}, {}, pf1g, {0x55}, pf8g},
        {"8g_to_8g_copies_nothing", pf8g, {0, 200}, {}, pf8g, {0x15, 0x15}, pf8g},
        // from pfGray16
        {"Gray16_to_8g", pfGray16, Words({0x1234, 0xABCD}), {}, pf8g, {0x12, 0xAB}, pfGray16},
        {"Gray16_to_8p", pfGray16, Words({0x1234, 0xABCD}), {}, pf8p, {0x12, 0xAB}, pfGray16},
        {"Gray16_to_24", pfGray16, Words({0x1234, 0xABCD}), {}, pf24RGB,
         {0x12, 0x12, 0x12, 0xAB, 0xAB, 0xAB}, pfGray16},
        {"Gray16_to_32f", pfGray16, Words({0, 65535}), {}, pf32f, Floats({0.0f, 1.0f}), pfGray16},
        {"Gray16_to_RGB48", pfGray16, Words({0x1234, 0xABCD}), {}, pfRGB48,
         Words({0x1234, 0x1234, 0x1234, 0xABCD, 0xABCD, 0xABCD}), pfGray16},
        // from pf24RGB (pixels: A, white)
        {"24_to_8g", pf24RGB, rgbA_white, {}, pf8g, {163, 255}, pf24RGB},
        {"24_to_Gray16", pf24RGB, rgbA_white, {}, pfGray16, Words({42289, 65535}), pf24RGB},
        {"24_to_32f", pf24RGB, rgbA_white, {}, pf32f, Floats({0.647146f, 1.0f}), pf24RGB},
        {"24_to_RGB48", pf24RGB, rgbA_white, {}, pfRGB48,
         Words({25700, 51400, 2570, 65535, 65535, 65535}), pf24RGB},
        {"24_to_RGBX", pf24RGB, rgbA_white, {}, pf32RGBX, {10, 200, 100, 255, 255, 255, 255, 255},
         pf24RGB},
        {"24_to_CMYK_formula", pf24RGB, rgbA_white, {}, pfCMYK, {127, 255, 12, 200, 255, 255, 255, 255},
         pf24RGB},
        {"24_to_Lab_white", pf24RGB, {0, 0, 0, 255, 255, 255}, {}, pfCIELab, {0, 0, 0, 250, 0, 0},
         pf24RGB},
        {"24_to_8p_exact", pf24RGB, rgbA_white, {}, pf8p, {0, 1}, pf24RGB,
         {{10, 200, 100}, {255, 255, 255}}},
        // from pf32f: Trunc(0.5 * 255) = 127, Trunc(0.5 * 65535) = 32767
        {"32f_to_8g", pf32f, Floats({0.5f, 1.0f}), {}, pf8g, {127, 255}, pf32f},
        {"32f_to_8p", pf32f, Floats({0.5f, 1.0f}), {}, pf8p, {127, 255}, pf32f},
        {"32f_to_Gray16", pf32f, Floats({0.5f, 1.0f}), {}, pfGray16, Words({32767, 65535}), pf32f},
        {"32f_to_24", pf32f, Floats({0.5f, 1.0f}), {}, pf24RGB, {127, 127, 127, 255, 255, 255},
         pf32f},
        {"32f_to_RGB48", pf32f, Floats({0.5f, 1.0f}), {}, pfRGB48,
         Words({32767, 32767, 32767, 65535, 65535, 65535}), pf32f},
        // out-of-range floats are held at the ends of the byte range
        {"32f_out_of_range_to_8g", pf32f, Floats({-0.5f, 7.0f}), {}, pf8g, {0, 255}, pf32f},
        // from pfRGB48 (pixel 0: R 0x1234, G 0x5678, B 0x9ABC; pixel 1 white)
        {"RGB48_to_24", pfRGB48, Words({0x1234, 0x5678, 0x9ABC, 65535, 65535, 65535}), {}, pf24RGB,
         {0x9A, 0x56, 0x12, 255, 255, 255}, pfRGB48},
        {"RGB48_to_8g", pfRGB48, Words({0x1234, 0x5678, 0x9ABC, 65535, 65535, 65535}), {}, pf8g,
         {77, 255}, pfRGB48},
        {"RGB48_to_Gray16", pfRGB48, Words({0x1234, 0x5678, 0x9ABC, 65535, 65535, 65535}), {},
         pfGray16, Words({19741, 65535}), pfRGB48},
        {"RGB48_to_32f", pfRGB48, Words({0x1234, 0x5678, 0x9ABC, 65535, 65535, 65535}), {}, pf32f,
         Floats({0.301507f, 1.003906f}), pfRGB48},
        {"RGB48_to_1g_threshold_via24", pfRGB48, Words({0x1234, 0x5678, 0x9ABC, 65535, 65535, 65535}),
         {}, pf1g, {0x55}, pf24RGB},
        {"RGB48_to_8p_via24", pfRGB48, Words({0x1234, 0x5678, 0x9ABC, 65535, 65535, 65535}), {}, pf8p,
         {0, 1}, pf24RGB, {{0x9A, 0x56, 0x12}, {255, 255, 255}}},
        // from pfCMYK (formulas): C' 255, M' 128, Y' 0, K' 200 is R 200, G 100, B 0 (grey 113)
        {"CMYK_to_24", pfCMYK, {255, 128, 0, 200, 255, 255, 255, 255}, {}, pf24RGB,
         {0, 100, 200, 255, 255, 255}, pfCMYK},
        {"CMYK_to_RGBX", pfCMYK, {255, 128, 0, 200, 255, 255, 255, 255}, {}, pf32RGBX,
         {0, 100, 200, 255, 255, 255, 255, 255}, pfCMYK},
        {"CMYK_to_8g_via24", pfCMYK, {255, 128, 0, 200, 255, 255, 255, 255}, {}, pf8g, {113, 255},
         pf24RGB},
        // from pfCIELab and pf32RGBX
        {"Lab_to_8g_via24", pfCIELab, {0, 0, 0, 0, 0, 0}, {}, pf8g, {0, 0}, pf24RGB},
        {"RGBX_to_24", pf32RGBX, {1, 2, 3, 99, 4, 5, 6, 0}, {}, pf24RGB, {1, 2, 3, 4, 5, 6},
         pf32RGBX},
        {"RGBX_to_8g_via24", pf32RGBX, {10, 200, 100, 0, 255, 255, 255, 7}, {}, pf8g, {163, 255},
         pf24RGB},
        {"RGBX_to_1g_via24", pf32RGBX, {10, 200, 100, 0, 0, 0, 0, 7}, {}, pf1g, {0x95}, pf24RGB},
    };
}

class ConversionTable : public testing::TestWithParam<TableCase> {};

TEST_P(ConversionTable, ConvertsRowAsSpecified) {
    const TableCase& c = GetParam();
    FormulaCmyk formulas;
    TImageBuffer source(2, 1, c.source);
    ASSERT_FALSE(source.IsEmpty());
    FillRow(source, 0, c.sourceRow);
    for (size_t i = 0; i < c.sourcePalette.size(); ++i) source.PaletteEntry(int(i), c.sourcePalette[i]);

    TImageBuffer dest(2, 1, c.destination);
    ASSERT_FALSE(dest.IsEmpty());
    std::memset(dest.RowPointer(0), 0x15, size_t(dest.RowLen()));  // shows what is left alone
    dest.ConvertFrom(source);

    EXPECT_EQ(dest.PixelFormat(), c.destination);
    EXPECT_EQ(source.PixelFormat(), c.sourceAfter);
    if (c.destination == pf32f) {
        float got[2], want[2];
        std::memcpy(got, dest.RowPointer(0), sizeof got);
        std::memcpy(want, c.expected.data(), sizeof want);
        EXPECT_NEAR(got[0], want[0], 1e-5);
        EXPECT_NEAR(got[1], want[1], 1e-5);
    } else {
        EXPECT_EQ(RowBytes(dest, 0, c.expected.size()), c.expected);
    }
    for (size_t i = 0; i < c.expectedPalette.size(); ++i)
        EXPECT_EQ(dest.PaletteEntry(int(i)), c.expectedPalette[i]) << "palette entry " << i;
}

INSTANTIATE_TEST_SUITE_P(Pairs, ConversionTable, testing::ValuesIn(TableCases()),
                         [](const testing::TestParamInfo<TableCase>& info) { return info.param.name; });

TImageBuffer* MakeGreyRows(TImageBuffer& buffer, const std::vector<std::vector<uint8_t>>& rows) {
    const int width = int(rows[0].size());
    buffer.Allocate(width, int(rows.size()), pf24RGB);
    for (int y = 0; y < int(rows.size()); ++y) {
        Bytes bgr;
        for (uint8_t v : rows[y]) bgr.insert(bgr.end(), {v, v, v});
        std::memcpy(buffer.RowPointer(y), bgr.data(), bgr.size());
    }
    return &buffer;
}

TEST(BlackAndWhite, ThresholdIsGreyOfMeanOfRowMeans) {
    // Row means 399 div 4 = 99 and 403 div 4 = 100; their mean is 99 (the mean of all eight
    // pixels would be 100). A pixel of grey 99 is white, 98 black.
    TImageBuffer source;
    MakeGreyRows(source, {{98, 99, 100, 102}, {100, 100, 100, 103}});
    TImageBuffer dest(4, 2, pf1g);
    dest.ConvertFrom(source);
    EXPECT_EQ(dest.RowPointer(0)[0] >> 4, 0b0111);
    EXPECT_EQ(dest.RowPointer(1)[0] >> 4, 0b1111);
}

TEST(BlackAndWhite, OrderedDitherAtBothEndsOfTheGreyScale) {
    struct Case {
        uint8_t grey;
        bool whiteExceptCorner;
    };
    for (Case c : {Case{255, true}, Case{0, false}}) {
        SCOPED_TRACE(int(c.grey));
        TImageBuffer source(17, 10, pf24RGB);
        for (int y = 0; y < 10; ++y) std::memset(source.RowPointer(y), c.grey, 17 * 3);
        TImageBuffer dest(17, 10, pf1g);
        dest.MonoMethod = mmOrderedDither;
        dest.ConvertFrom(source);
        for (int y = 0; y < 10; ++y) {
            for (int x = 0; x < 17; ++x) {
                bool expected = c.whiteExceptCorner && !(x % 8 == 7 && y % 8 == 0);
                ASSERT_EQ(dest.GetPixel1(x, y), expected) << x << "," << y;
            }
        }
    }
}

TEST(BlackAndWhite, OrderedDitherFollowsTheBayerMatrix) {
    // Grey 160 (div 4 = 40): white exactly where the matrix entry is below 40, 40 of every
    // 64 pixels. The matrix is indexed [x][y]: M[0][1] = 32 is white, M[1][0] = 48 black.
    TImageBuffer source(8, 8, pf8g);
    for (int y = 0; y < 8; ++y) std::memset(source.RowPointer(y), 160, 8);
    TImageBuffer dest(8, 8, pf1g);
    dest.MonoMethod = mmOrderedDither;
    dest.ConvertFrom(source);
    int white = 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) white += dest.GetPixel1(x, y);
    EXPECT_EQ(white, 40);
    EXPECT_TRUE(dest.GetPixel1(0, 1));
    EXPECT_FALSE(dest.GetPixel1(1, 0));
}

TEST(CIELab, WhiteGoesToLightGreyOnTheWayBack) {
    TImageBuffer image(1, 1, pf24RGB);
    image.SetPixel24(0, 0, {255, 255, 255});
    image.PixelFormat(pfCIELab);
    EXPECT_EQ(RowBytes(image, 0, 3), (Bytes{250, 0, 0}));
    image.PixelFormat(pf24RGB);
    TBGRTriple back = image.GetPixel24(0, 0);
    for (int channel : {back.rgbtBlue, back.rgbtGreen, back.rgbtRed}) {
        EXPECT_LT(channel, 255);
        EXPECT_GE(channel, 245);
    }
}

TEST(ManagedCmyk, EmbeddedProfileGivesPlausibleInks) {
    ASSERT_TRUE(CMYKColorManagement);
    ASSERT_TRUE(CMYKTransformsUsable());
    // White needs no ink (stored bytes are inverted inks), black a lot of it.
    TCMYKBytes white = RGBToCMYK(255, 255, 255);
    for (int ink : {white.c, white.m, white.y, white.k}) EXPECT_GE(ink, 250);
    EXPECT_LT(RGBToCMYK(0, 0, 0).k, 80);
    // Pure cyan ink on paper is a blue-green: little red, much green and blue.
    TBGRTriple cyan = CMYKToRGB(0, 255, 255, 255);
    EXPECT_LT(cyan.rgbtRed, 60);
    EXPECT_GT(cyan.rgbtGreen, 120);
    EXPECT_GT(cyan.rgbtBlue, 180);
    // Paper white comes back close to white.
    TBGRTriple paper = CMYKToRGB(255, 255, 255, 255);
    EXPECT_GE(std::min({paper.rgbtRed, paper.rgbtGreen, paper.rgbtBlue}), 230);
}

// ctest runs every case in a process of its own, so here the transforms are built while
// four threads ask for them at once.
TEST(ManagedCmyk, FirstUseFromSeveralThreadsAgrees) {
    std::vector<TCMYKBytes> results(4);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&results, i] { results[i] = RGBToCMYK(128, 64, 32); });
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(CMYKTransformsUsable());
    for (const TCMYKBytes& r : results) EXPECT_EQ(r, RGBToCMYK(128, 64, 32));
    EXPECT_NE(results[0], RGBToCMYKFormula(128, 64, 32));
}

TEST(ManagedCmyk, MidGreyDiffersFromFormulaAndRoundTrips) {
    ASSERT_TRUE(CMYKTransformsUsable());
    TCMYKBytes managed = RGBToCMYK(128, 128, 128);
    EXPECT_NE(managed, RGBToCMYKFormula(128, 128, 128));
    TBGRTriple back = CMYKToRGB(managed);
    for (int channel : {back.rgbtBlue, back.rgbtGreen, back.rgbtRed}) EXPECT_NEAR(channel, 128, 6);
}

TEST(ManagedCmyk, SwitchedOffFollowsFormulasEveryTime) {
    FormulaCmyk formulas;
    EXPECT_FALSE(CMYKTransformsUsable());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(RGBToCMYK(0, 0, 0), (TCMYKBytes{0, 0, 0, 1}));
        EXPECT_EQ(RGBToCMYK(255, 255, 255), (TCMYKBytes{255, 255, 255, 255}));
        EXPECT_EQ(CMYKToRGB(255, 128, 0, 200), (TBGRTriple{0, 100, 200}));
    }
}

TEST(ManagedCmyk, RowsMatchOneColourAtATime) {
    ASSERT_TRUE(CMYKTransformsUsable());
    // 300 colours: longer than the stack buffer of a short run.
    const int count = 300;
    Bytes bgr(count * 3), cmyk(count * 4);
    for (int i = 0; i < count * 3; ++i) bgr[i] = uint8_t((i * 37 + i / 7) & 0xFF);
    for (int i = 0; i < count * 4; ++i) cmyk[i] = uint8_t((i * 53 + i / 5) & 0xFF);

    TImageBuffer rgbImage(count, 1, pf24RGB), cmykImage(count, 1, pfCMYK);
    FillRow(rgbImage, 0, bgr);
    FillRow(cmykImage, 0, cmyk);
    TImageBuffer toCmyk(count, 1, pfCMYK), toRgb(count, 1, pf24RGB);
    toCmyk.ConvertFrom(rgbImage);
    toRgb.ConvertFrom(cmykImage);

    for (int i = 0; i < count; ++i) {
        TCMYKBytes one = RGBToCMYK(bgr[3 * i + 2], bgr[3 * i + 1], bgr[3 * i]);
        const uint8_t* row = toCmyk.RowPointer(0) + 4 * i;
        ASSERT_EQ((TCMYKBytes{row[0], row[1], row[2], row[3]}), one) << "pixel " << i;
        TBGRTriple back = CMYKToRGB(cmyk[4 * i], cmyk[4 * i + 1], cmyk[4 * i + 2], cmyk[4 * i + 3]);
        ASSERT_EQ(toRgb.GetPixel24(i, 0), back) << "pixel " << i;
    }
}

TEST(PixelFormatChange, KeepsTheAlphaBufferThroughEveryFormat) {
    for (int f = pf1g; f < kPixelFormatCount; ++f) {
        auto format = TPixelFormatKind(f);
        SCOPED_TRACE(f);
        TImageBuffer image(3, 2, pfCMYK);
        for (int y = 0; y < 2; ++y) std::memset(image.RowPointer(y), 0x80, 12);
        TImageBuffer* alpha = image.Alpha();
        ASSERT_NE(alpha, nullptr);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x) alpha->SetPixel8(x, y, uint8_t(10 * x + 100 * y));

        image.PixelFormat(format);

        EXPECT_EQ(image.PixelFormat(), format);
        ASSERT_TRUE(image.HasAlpha());
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x) EXPECT_EQ(image.Alpha()->GetPixel8(x, y), 10 * x + 100 * y);
    }
}

TEST(PixelFormatChange, ConvertsThePixels) {
    TImageBuffer image(2, 1, pf24RGB);
    FillRow(image, 0, {10, 200, 100, 255, 255, 255});
    image.PixelFormat(pf8g);
    EXPECT_EQ(RowBytes(image, 0, 2), (Bytes{163, 255}));
    image.PixelFormat(pfRGB48);
    EXPECT_EQ(RowBytes(image, 0, 12), Words({163 * 257, 163 * 257, 163 * 257, 65535, 65535, 65535}));
}

TEST(ConvertFromAlpha, DestinationEndsWithTheSourcesAlphaOrNone) {
    for (bool sourceAlpha : {false, true}) {
        for (bool destAlpha : {false, true}) {
            SCOPED_TRACE(testing::Message() << "source " << sourceAlpha << " dest " << destAlpha);
            TImageBuffer source(2, 2, pf8g), dest(2, 2, pf24RGB);
            if (sourceAlpha) source.Alpha()->SetPixel8(1, 1, 7);
            if (destAlpha) dest.Alpha()->SetPixel8(1, 1, 99);
            dest.ConvertFrom(source);
            EXPECT_FALSE(source.HasAlpha());
            ASSERT_EQ(dest.HasAlpha(), sourceAlpha);
            if (sourceAlpha) {
                EXPECT_EQ(dest.Alpha()->GetPixel8(1, 1), 7);
            }
        }
    }
}

TEST(ConvertFromAlpha, DifferentSizesChangeNothing) {
    TImageBuffer source(2, 2, pf8g), dest(2, 3, pf8g);
    for (int y = 0; y < 2; ++y) std::memset(source.RowPointer(y), 50, 2);
    for (int y = 0; y < 3; ++y) std::memset(dest.RowPointer(y), 9, 2);
    source.Alpha()->SetPixel8(0, 0, 1);
    dest.Alpha()->SetPixel8(0, 0, 2);
    dest.ConvertFrom(source);
    EXPECT_EQ(dest.GetPixel8(0, 0), 9);
    EXPECT_EQ(source.GetPixel8(0, 0), 50);
    ASSERT_TRUE(source.HasAlpha());
    ASSERT_TRUE(dest.HasAlpha());
    EXPECT_EQ(source.Alpha()->GetPixel8(0, 0), 1);
    EXPECT_EQ(dest.Alpha()->GetPixel8(0, 0), 2);
}

}  // namespace
}  // namespace morvane
