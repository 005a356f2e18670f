#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <vector>

#include "imagebuffer.h"
#include "quantizer.h"

namespace morvane {
namespace {

int Packed(TBGRTriple c) { return (c.rgbtRed << 16) | (c.rgbtGreen << 8) | c.rgbtBlue; }

// A pf24RGB image whose pixel (x, y) has colour f(x, y).
void MakeImage(TImageBuffer& image, int width, int height,
               const std::function<TBGRTriple(int, int)>& f) {
    ASSERT_TRUE(image.Allocate(width, height, pf24RGB));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.SetPixel24(x, y, f(x, y));
}

// 200 distinct colours in scan order, then the first 50 again (20 x 12.5 rows -> 25 x 10).
TBGRTriple Distinct(int i) { return {uint8_t(i), uint8_t(255 - i), uint8_t((i * 7) & 0xFF)}; }

// A smooth colour field with about 4000 distinct colours.
TBGRTriple Gradient(int x, int y) {
    return {uint8_t(x * 4), uint8_t(y * 4), uint8_t((x * 2 + y * 2) & 0xFF)};
}

class QuantizerSettings : public testing::Test {
protected:
    void TearDown() override {
        QuantizerMethod = -1;
        NeuQuantQuality = -1;
    }
};

using QuantizerTest = QuantizerSettings;

TEST_F(QuantizerTest, FewColoursGiveTheExactListInOrderOfAppearance) {
    TImageBuffer image;
    MakeImage(image, 25, 10, [](int x, int y) { return Distinct((y * 25 + x) % 200); });
    std::array<TBGRTriple, 256> palette{};
    TColorQuantizer q(image, palette.data(), 0, 256);
    ASSERT_EQ(q.ColorCount(), 200);
    EXPECT_FALSE(q.SourceIsGray());
    for (int i = 0; i < 200; ++i) ASSERT_EQ(palette[i], Distinct(i)) << i;
    EXPECT_EQ(palette[200], TBGRTriple{});  // later entries left as they were
    for (int i = 0; i < 200; ++i) ASSERT_EQ(q.ColorIndex(Packed(Distinct(i))), i);
    EXPECT_EQ(q.ColorIndex(Packed({1, 2, 3})), -1);
}

TEST_F(QuantizerTest, OneRedPixelGivesOneEntry) {
    TImageBuffer image;
    MakeImage(image, 1, 1, [](int, int) { return TBGRTriple{0, 0, 255}; });
    std::array<TBGRTriple, 256> palette{};
    TColorQuantizer q(image, palette.data(), 0, 256);
    EXPECT_EQ(q.ColorCount(), 1);
    EXPECT_EQ(palette[0], (TBGRTriple{0, 0, 255}));
    EXPECT_EQ(q.ColorIndex(0xFF0000), 0);
}

TEST_F(QuantizerTest, GreyImagesGetTheRamp) {
    TImageBuffer rgbGrey, grey8(256, 1, pf8g);
    MakeImage(rgbGrey, 256, 1, [](int x, int) { return TBGRTriple{uint8_t(x), uint8_t(x), uint8_t(x)}; });
    for (int x = 0; x < 256; ++x) grey8.SetPixel8(x, 0, uint8_t(x));
    for (const TImageBuffer* image : {&rgbGrey, &grey8}) {
        SCOPED_TRACE(image->PixelFormat());
        std::array<TBGRTriple, 256> palette{};
        TColorQuantizer full(*image, palette.data(), 0, 256);
        EXPECT_TRUE(full.SourceIsGray());
        for (int v = 0; v < 256; ++v) {
            ASSERT_EQ(palette[v], (TBGRTriple{uint8_t(v), uint8_t(v), uint8_t(v)}));
            ASSERT_EQ(full.ColorIndex(v * 0x010101), v);
        }
        TColorQuantizer sixteen(*image, palette.data(), 0, 16);
        EXPECT_EQ(sixteen.ColorCount(), 16);
        EXPECT_EQ(sixteen.ColorIndex(0xFFFFFF), 15);
        EXPECT_EQ(palette[15], (TBGRTriple{240, 240, 240}));
        EXPECT_EQ(palette[1], (TBGRTriple{16, 16, 16}));
    }
}

TEST_F(QuantizerTest, PaletteSourceKeepsItsPaletteAndIndices) {
    // A grey palette that is not a ramp (16 levels, brightest first): each colour must map
    // back to the entry that holds it.
    TImageBuffer image(16, 1, pf8p);
    for (int i = 0; i < 16; ++i) {
        auto v = uint8_t(255 - 17 * i);
        image.PaletteEntry(i, {v, v, v});
        image.SetPixel8(i, 0, uint8_t(i));
    }
    for (int i = 16; i < 256; ++i) image.PaletteEntry(i, {0, 0, 0});
    std::array<TBGRTriple, 256> palette{};
    TColorQuantizer q(image, palette.data(), 0, 16);
    EXPECT_TRUE(q.SourceIsGray());
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(palette[i], image.PaletteEntry(i));
        EXPECT_EQ(q.ColorIndex(Packed(image.PaletteEntry(i))), i);
    }
    EXPECT_EQ(q.ColorIndex(0x123456), 256);
}

// Which reduction ran shows in the palette: box splitting yields multiples of 8 only.
bool AllMultiplesOf8(const std::array<TBGRTriple, 256>& palette, int count) {
    return std::all_of(palette.begin(), palette.begin() + count, [](TBGRTriple c) {
        return c.rgbtRed % 8 == 0 && c.rgbtGreen % 8 == 0 && c.rgbtBlue % 8 == 0;
    });
}

int L1(TBGRTriple a, TBGRTriple b) {
    return std::abs(a.rgbtRed - b.rgbtRed) + std::abs(a.rgbtGreen - b.rgbtGreen) +
           std::abs(a.rgbtBlue - b.rgbtBlue);
}

TEST_F(QuantizerTest, ReductionIsChosenByCountAndSetting) {
    struct Case {
        int method;
        int colours;
        bool boxSplitting;
    };
    TImageBuffer image;
    MakeImage(image, 64, 64, Gradient);
    for (Case c : {Case{-1, 16, true}, Case{-1, 127, true}, Case{-1, 128, false},
                   Case{-1, 256, false}, Case{0, 16, false}, Case{1, 256, true}}) {
        SCOPED_TRACE(testing::Message() << "method " << c.method << ", " << c.colours << " colours");
        QuantizerMethod = c.method;
        std::array<TBGRTriple, 256> palette{};
        TColorQuantizer q(image, palette.data(), 0, c.colours);
        ASSERT_GE(q.ColorCount(), 1);
        ASSERT_LE(q.ColorCount(), c.colours);
        EXPECT_EQ(AllMultiplesOf8(palette, q.ColorCount()), c.boxSplitting);
        if (!c.boxSplitting) {
            EXPECT_EQ(q.ColorCount(), c.colours);
        }
    }
}

TEST_F(QuantizerTest, BoxSplittingMapsEveryPixelIntoItsBox) {
    TImageBuffer image;
    MakeImage(image, 25, 10, [](int x, int y) { return Distinct((y * 25 + x) % 200); });
    std::array<TBGRTriple, 256> palette{};
    TColorQuantizer q(image, palette.data(), 0, 16);
    ASSERT_EQ(q.ColorCount(), 16);
    ASSERT_TRUE(AllMultiplesOf8(palette, 16));
    // Each entry is the rounded mean of its box, so it lies within the range (in 8-wide
    // bins) of the colours mapped to it.
    std::array<std::array<int, 3>, 16> lo, hi;
    for (auto& a : lo) a = {255, 255, 255};
    for (auto& a : hi) a = {0, 0, 0};
    for (int i = 0; i < 200; ++i) {
        TBGRTriple c = Distinct(i);
        int index = q.ColorIndex(Packed(c));
        ASSERT_GE(index, 0);
        ASSERT_LT(index, 16);
        const int ch[3] = {c.rgbtRed, c.rgbtGreen, c.rgbtBlue};
        for (int k = 0; k < 3; ++k) {
            lo[index][k] = std::min(lo[index][k], ch[k] & ~7);
            hi[index][k] = std::max(hi[index][k], ch[k] & ~7);
        }
    }
    for (int i = 0; i < 16; ++i) {
        const int ch[3] = {palette[i].rgbtRed, palette[i].rgbtGreen, palette[i].rgbtBlue};
        for (int k = 0; k < 3; ++k) {
            EXPECT_GE(ch[k], lo[i][k]) << "entry " << i << " channel " << k;
            EXPECT_LE(ch[k], hi[i][k]) << "entry " << i << " channel " << k;
        }
    }
}

TEST_F(QuantizerTest, NeuQuantFindsTheNearestEntryAndFitsTheImage) {
    TImageBuffer image;
    MakeImage(image, 64, 64, Gradient);
    std::array<TBGRTriple, 256> palette{};
    TColorQuantizer q(image, palette.data(), 0, 256);
    ASSERT_EQ(q.ColorCount(), 256);
    int64_t totalError = 0;
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
            TBGRTriple c = Gradient(x, y);
            int index = q.ColorIndex(Packed(c));
            ASSERT_GE(index, 0);
            ASSERT_LT(index, 256);
            int nearest = 1000;
            for (const TBGRTriple& p : palette) nearest = std::min(nearest, L1(p, c));
            // The green-index search is exact: no entry is closer than the one it names.
            ASSERT_EQ(L1(palette[index], c), nearest) << x << "," << y;
            totalError += nearest;
        }
    }
    // 4096 colours on 256 entries: a trained net stays within a few levels per channel.
    EXPECT_LT(double(totalError) / (64 * 64), 24.0);
}

TEST_F(QuantizerTest, NeuQuantIsDeterministicAndHonoursQuality) {
    TImageBuffer image;
    MakeImage(image, 120, 100, Gradient);
    auto run = [&] {
        std::array<TBGRTriple, 256> palette{};
        TColorQuantizer q(image, palette.data(), 0, 200);
        return palette;
    };
    auto first = run();
    EXPECT_EQ(run(), first);
    NeuQuantQuality = 100;  // every pixel instead of one in three: a different training
    EXPECT_NE(run(), first);
}

TEST_F(QuantizerTest, ConversionToPaletteUsesTheDestinationsColourCount) {
    TImageBuffer image;
    MakeImage(image, 64, 64, Gradient);
    TImageBuffer dest(64, 64, pf8p);
    dest.PaletteColors = 8;
    dest.ConvertFrom(image);
    std::array<TBGRTriple, 256> palette{};
    TColorQuantizer q(image, palette.data(), 0, 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(dest.PaletteEntry(i), palette[i]);
    for (int y = 0; y < 64; y += 7)
        for (int x = 0; x < 64; x += 5)
            ASSERT_EQ(dest.GetPixel8(x, y), q.ColorIndex(Packed(Gradient(x, y))));
}

}  // namespace
}  // namespace morvane
