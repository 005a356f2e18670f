#include "imagebuffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "colorconv.h"

namespace morvane {
namespace {

// Writes value(x, y) into every pixel of an 8-bit buffer.
template <typename F>
void Paint8(TImageBuffer& b, F value) {
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x)
            b.RowPointer(y)[x] = uint8_t(value(x, y));
}

// The pixels of an 8-bit buffer as rows of numbers, for readable failure messages.
std::vector<std::vector<int>> Pixels8(const TImageBuffer& b) {
    std::vector<std::vector<int>> rows;
    for (int y = 0; y < b.Height(); ++y) {
        rows.emplace_back();
        for (int x = 0; x < b.Width(); ++x)
            rows.back().push_back(b.RowPointer(y)[x]);
    }
    return rows;
}

// --- rows and allocation --------------------------------------------------------------

TEST(ImageBufferRowLen, WidthFormatAndAlignment) {
    struct Case {
        int width;
        TPixelFormatKind format;
        int alignment;
        int rowLen;
    };
    const Case cases[] = {
        {1, pf1g, 32, 4},      {3, pf24RGB, 32, 12},  {5, pfRGB48, 32, 32}, {33, pf1g, 32, 8},
        {3, pf24RGB, 8, 9},    {17, pf1g, 16, 4},     {3, pf24RGB, 64, 16}, {2, pfCMYK, 32, 8},
        {3, pfCIELab, 32, 12}, {7, pfGray16, 32, 16},
    };
    for (const Case& c : cases) {
        TImageBuffer b;
        b.RowAlignment(c.alignment);
        ASSERT_TRUE(b.Allocate(c.width, 2, c.format));
        EXPECT_EQ(b.RowLen(), c.rowLen)
            << c.width << " px, format " << c.format << ", align " << c.alignment;
        EXPECT_EQ(b.BitCount(), FormatBitCount(c.format));
        EXPECT_EQ(b.ChannelCount(), FormatChannelCount(c.format));
    }
}

TEST(ImageBufferRowLen, AlignmentsThatCannotHoldTheRowAreRefused) {
    EXPECT_EQ(ComputeRowLen(3, 24, 12), -1);
    EXPECT_EQ(ComputeRowLen(3, 24, 0), -1);
    TImageBuffer b;
    b.RowAlignment(12);
    EXPECT_EQ(b.RowAlignment(), 32);
}

TEST(ImageBufferLayout, BottomUpSingleAlignedBlock) {
    TImageBuffer b;
    EXPECT_EQ(b.Location(), lkTempFile);
    EXPECT_TRUE(b.NeedsReallocate);
    ASSERT_TRUE(b.Allocate(5, 4, pf24RGB));
    EXPECT_EQ(b.Location(), lkInMemory);
    EXPECT_FALSE(b.NeedsReallocate);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b.RowPointer(b.Height() - 1)) % 64, 0u);
    for (int r = 1; r < b.Height(); ++r)
        EXPECT_EQ(b.RowPointer(r - 1) - b.RowPointer(r), b.RowLen()) << "row " << r;
    // Rows are distinct storage: writing the last byte of row 0 leaves row 1 alone.
    std::memset(b.RowPointer(1), 0, size_t(b.RowLen()));
    std::memset(b.RowPointer(0), 0xFF, size_t(b.RowLen()));
    EXPECT_EQ(b.RowPointer(1)[b.RowLen() - 1], 0);
}

TEST(ImageBufferAllocate, RefusedSizesLeaveAnEmptyBuffer) {
    struct Case {
        const char* name;
        int width, height;
        TPixelFormatKind format;
    };
    const Case cases[] = {
        {"zero width", 0, 5, pf8g},
        {"zero height", 5, 0, pf8g},
        {"negative width", -4, 5, pf8g},
        {"no format", 5, 5, pfNoFormat},
        {"64-bit byte count overflows", INT_MAX, INT_MAX, pfRGB48},
        {"larger than the address space", INT_MAX, INT_MAX, pf24RGB},
        {"allocator refuses", INT_MAX, INT_MAX, pf8g},
        {"row longer than 2 GiB", INT_MAX, 1, pfRGB48},
    };
    for (const Case& c : cases) {
        TImageBuffer b(3, 3, pf8p);
        b.Alpha();
        // Twice: a second identical request must not be mistaken for "unchanged".
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_FALSE(b.Allocate(c.width, c.height, c.format)) << c.name;
            EXPECT_EQ(b.Width(), 0) << c.name;
            EXPECT_EQ(b.Height(), 0) << c.name;
            EXPECT_EQ(b.PixelFormat(), pfNoFormat) << c.name;
            EXPECT_TRUE(b.IsEmpty()) << c.name;
            EXPECT_FALSE(b.HasAlpha()) << c.name;
            EXPECT_EQ(b.PaletteLength(), 0) << c.name;
        }
    }
}

TEST(ImageBufferAllocate, KeepsPixelsAndAlphaOnlyWhenNothingChanged) {
    struct Case {
        const char* name;
        int width;
        TPixelFormatKind format;
        bool changeAlignment;
        bool kept;
    };
    const Case cases[] = {
        {"same geometry", 3, pf8g, false, true},
        {"other format", 3, pf24RGB, false, false},
        {"other width", 4, pf8g, false, false},
        {"row alignment changed", 3, pf8g, true, false},
    };
    for (const Case& c : cases) {
        TImageBuffer b;
        ASSERT_TRUE(b.Allocate(3, 2, pf8g));
        b.Fill(7);
        b.Alpha()->Fill(9);
        if (c.changeAlignment)
            b.RowAlignment(8);
        ASSERT_TRUE(b.Allocate(c.width, 2, c.format)) << c.name;
        EXPECT_EQ(b.HasAlpha(), c.kept) << c.name;
        if (c.kept) {
            EXPECT_EQ(b.GetPixel8(2, 1), 7) << c.name;
            EXPECT_EQ(b.Alpha()->GetPixel8(2, 1), 9) << c.name;
        }
    }
}

// --- alpha -----------------------------------------------------------------------------

TEST(ImageBufferAlpha, CreatedLazilyOpaqueAtTheBuffersSize) {
    TImageBuffer b(4, 3, pf24RGB);
    EXPECT_FALSE(b.HasAlpha());
    TImageBuffer* a = b.Alpha();
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(b.HasAlpha());
    EXPECT_EQ(b.Alpha(), a);
    EXPECT_TRUE(a->IsAlpha);
    EXPECT_EQ(a->PixelFormat(), pf8g);
    EXPECT_EQ(a->Width(), 4);
    EXPECT_EQ(a->Height(), 3);
    EXPECT_TRUE(a->FullyOpaque);
    EXPECT_FALSE(b.HasTransparency());
    for (const auto& row : Pixels8(*a))
        for (int v : row)
            EXPECT_EQ(v, 255);
    // An alpha buffer never gets one of its own; an empty buffer has nothing to cover.
    EXPECT_EQ(a->Alpha(), nullptr);
    EXPECT_FALSE(a->HasAlpha());
    TImageBuffer empty;
    EXPECT_EQ(empty.Alpha(), nullptr);
}

TEST(ImageBufferAlpha, AssignCopiesAlphaNotOpaqueUntilRechecked) {
    TImageBuffer src(3, 2, pf8p);
    src.RowAlignment(8);
    ASSERT_TRUE(src.Allocate(3, 2, pf8p));
    Paint8(src, [](int x, int y) { return x + 10 * y; });
    src.PaletteEntry(5, {1, 2, 3});
    src.PaletteColors = 16;
    src.MonoMethod = mmOrderedDither;
    src.Alpha();  // all 255, FullyOpaque

    TImageBuffer dst(9, 9, pf24RGB);
    dst.Assign(src);
    EXPECT_EQ(dst.PixelFormat(), pf8p);
    EXPECT_EQ(dst.RowAlignment(), 8);
    EXPECT_EQ(dst.RowLen(), 3);
    EXPECT_EQ(Pixels8(dst), Pixels8(src));
    EXPECT_EQ(dst.PaletteEntry(5), (TBGRTriple{1, 2, 3}));
    EXPECT_EQ(dst.PaletteColors, 16);
    EXPECT_EQ(dst.MonoMethod, mmOrderedDither);
    EXPECT_FALSE(dst.FullyOpaque);
    ASSERT_TRUE(dst.HasAlpha());
    EXPECT_FALSE(dst.AlphaIfAny()->FullyOpaque);
    EXPECT_TRUE(dst.HasTransparency());

    dst.Alpha()->RecheckOpaque();
    EXPECT_TRUE(dst.Alpha()->FullyOpaque);
    dst.Alpha()->SetPixel8(1, 1, 254);
    EXPECT_FALSE(dst.Alpha()->FullyOpaque);
    dst.Alpha()->RecheckOpaque();
    EXPECT_FALSE(dst.Alpha()->FullyOpaque);

    // A source without alpha takes the destination's away; an empty source empties it.
    TImageBuffer plain(2, 2, pf8g);
    dst.Assign(plain);
    EXPECT_FALSE(dst.HasAlpha());
    EXPECT_EQ(dst.PaletteLength(), 0);
    dst.Assign(TImageBuffer());
    EXPECT_TRUE(dst.IsEmpty());
    EXPECT_EQ(dst.PixelFormat(), pfNoFormat);
}

TEST(ImageBufferAlpha, SetAndTakeHandOverOnlyMatchingBuffers) {
    TImageBuffer b(3, 2, pf24RGB);
    EXPECT_FALSE(b.SetAlpha(std::make_unique<TImageBuffer>(2, 2, pf8g)));
    EXPECT_FALSE(b.SetAlpha(std::make_unique<TImageBuffer>(3, 2, pf24RGB)));
    EXPECT_FALSE(b.HasAlpha());
    ASSERT_TRUE(b.SetAlpha(std::make_unique<TImageBuffer>(3, 2, pf8g)));
    EXPECT_TRUE(b.AlphaIfAny()->IsAlpha);
    auto taken = b.TakeAlpha();
    ASSERT_NE(taken, nullptr);
    EXPECT_FALSE(b.HasAlpha());
    EXPECT_EQ(taken->Width(), 3);
}

TEST(ImageBufferDropAlpha, BlendDividesBy256RoundingDown) {
    struct Case {
        uint8_t pixel;
        uint8_t background;
        uint8_t alpha;
        uint8_t expected;
    };
    const Case cases[] = {
        {0, 255, 128, 127},   // black over white, half
        {255, 0, 128, 127},   // white over black, half
        {255, 0, 255, 254},   // "opaque" still leaves 1/256 to the background
        {255, 0, 0, 0},       // transparent shows the background
        {10, 200, 1, 199},    // floor(-190 / 256) = -1
        {100, 100, 77, 100},  // equal colours stay
    };
    for (const Case& c : cases) {
        TImageBuffer b(2, 1, pf24RGB);
        std::memset(b.RowPointer(0), c.pixel, 6);
        b.Alpha()->Fill(c.alpha);
        b.DropAlpha(true, MakeColor(c.background, c.background, c.background));
        EXPECT_FALSE(b.HasAlpha());
        const TBGRTriple want{c.expected, c.expected, c.expected};
        EXPECT_EQ(b.GetPixel24(1, 0), want)
            << int(c.pixel) << " over " << int(c.background) << " at alpha " << int(c.alpha);
    }
    // Channels blend against their own background channel.
    TImageBuffer b(1, 1, pf24RGB);
    b.SetPixel24(0, 0, {0, 0, 0});
    b.Alpha()->Fill(0);
    b.DropAlpha(true, MakeColor(10, 20, 30));
    EXPECT_EQ(b.GetPixel24(0, 0), (TBGRTriple{30, 20, 10}));
    // Without blend the pixels stay as they are.
    TImageBuffer c(1, 1, pf24RGB);
    c.SetPixel24(0, 0, {50, 60, 70});
    c.Alpha()->Fill(0);
    c.DropAlpha(false, 0);
    EXPECT_FALSE(c.HasAlpha());
    EXPECT_EQ(c.GetPixel24(0, 0), (TBGRTriple{50, 60, 70}));
}

// --- fill ------------------------------------------------------------------------------

TEST(ImageBufferFill, EveryFormatEveryRow) {
    struct Case {
        TPixelFormatKind format;
        double value;
        std::vector<uint8_t> pixel;  // bytes of one pixel as stored
        bool opaque;
    };
    const TCMYKBytes red = RGBToCMYK(255, 0, 0);
    const Case cases[] = {
        {pf8g, 7.9, {7}, false},
        {pf8g, 255.5, {255}, true},
        {pf8p, 3, {3}, false},
        {pfGray16, 258, {0x02, 0x01}, false},
        {pfGray16, 65535, {0xFF, 0xFF}, true},
        {pf32f, 0.25, {0x00, 0x00, 0x80, 0x3E}, false},
        {pf32f, 1.0, {0x00, 0x00, 0x80, 0x3F}, true},
        {pf24RGB, MakeColor(1, 2, 3), {3, 2, 1}, false},
        {pf24RGB, MakeColor(255, 255, 255), {255, 255, 255}, true},
        {pfCMYK, MakeColor(255, 0, 0), {red.c, red.m, red.y, red.k}, false},
        {pfCMYK, MakeColor(255, 255, 255), {255, 255, 255, 255}, true},
        {pfRGB48, MakeColor(1, 2, 255), {0x01, 0x01, 0x02, 0x02, 0xFF, 0xFF}, false},
        {pfCIELab, MakeColor(255, 255, 255), {250, 0, 0}, true},
        // The fourth byte keeps what it held (0x11, written below).
        {pf32RGBX, MakeColor(1, 2, 3), {3, 2, 1, 0x11}, false},
        {pf32RGBX, MakeColor(255, 255, 255), {255, 255, 255, 0x11}, true},
    };
    for (const Case& c : cases) {
        TImageBuffer b(3, 3, c.format);
        for (int r = 0; r < b.Height(); ++r)
            std::memset(b.RowPointer(r), 0x11, size_t(b.RowLen()));
        b.FullyOpaque = !c.opaque;
        b.Fill(c.value);
        EXPECT_EQ(b.FullyOpaque, c.opaque) << "format " << c.format << " value " << c.value;
        const size_t bpp = c.pixel.size();
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 3; ++x) {
                const uint8_t* p = b.RowPointer(y) + size_t(x) * bpp;
                EXPECT_EQ(std::vector<uint8_t>(p, p + bpp), c.pixel)
                    << "format " << c.format << " at " << x << "," << y;
            }
    }
}

TEST(ImageBufferFill, OneBitFillAndClampedArea) {
    TImageBuffer b(20, 3, pf1g);
    b.Fill(1);
    EXPECT_TRUE(b.FullyOpaque);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 20; ++x)
            EXPECT_TRUE(b.GetPixel1(x, y));
    // Rows 0 and 1 (the rectangle starts above the buffer), columns 3..17 across bytes.
    b.FillArea(3, -5, 17, 1, 0);
    EXPECT_FALSE(b.FullyOpaque);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 20; ++x)
            EXPECT_EQ(b.GetPixel1(x, y), y == 2 || x < 3 || x > 17) << x << "," << y;

    TImageBuffer g(4, 2, pf8g);
    g.Fill(0);
    g.FillArea(2, 1, 100, 100, 9);
    EXPECT_EQ(Pixels8(g), (std::vector<std::vector<int>>{{0, 0, 0, 0}, {0, 0, 9, 9}}));
    g.FillArea(5, 0, 9, 1, 1);  // entirely outside
    EXPECT_EQ(g.GetPixel8(3, 1), 9);
}

// --- areas -----------------------------------------------------------------------------

TEST(ImageBufferCopyArea, ClipsToBothBuffers) {
    struct Case {
        const char* name;
        int sx, sy, dx, dy, w, h;
        std::vector<std::vector<int>> expected;
    };
    // Source pixel (x, y) holds 1 + x + 10 y; the destination starts at 0.
    const Case cases[] = {
        {"negative destination x", 0, 0, -3, 0, 4, 2, {{4, 0, 0, 0}, {14, 0, 0, 0}}},
        {"negative destination y", 1, 0, 0, -1, 2, 2, {{12, 13, 0, 0}, {0, 0, 0, 0}}},
        {"cut to the destination", 0, 0, 2, 1, 10, 10, {{0, 0, 0, 0}, {0, 0, 1, 2}}},
        {"negative source x", -1, 0, 0, 0, 2, 1, {{0, 1, 0, 0}, {0, 0, 0, 0}}},
        {"destination beyond the last column", 0, 0, 4, 0, 1, 1, {{0, 0, 0, 0}, {0, 0, 0, 0}}},
        {"source beyond the last row", 0, 2, 0, 0, 1, 1, {{0, 0, 0, 0}, {0, 0, 0, 0}}},
        {"far-off positions", INT_MAX, 0, INT_MIN, 0, INT_MAX, 1, {{0, 0, 0, 0}, {0, 0, 0, 0}}},
        {"huge negative destination",
         0,
         0,
         INT_MIN + 2,
         0,
         INT_MAX,
         2,
         {{0, 0, 0, 0}, {0, 0, 0, 0}}},
    };
    TImageBuffer src(4, 2, pf8g);
    Paint8(src, [](int x, int y) { return 1 + x + 10 * y; });
    for (const Case& c : cases) {
        TImageBuffer dst(4, 2, pf8g);
        dst.Fill(0);
        src.CopyArea(dst, c.sx, c.sy, c.dx, c.dy, c.w, c.h);
        EXPECT_EQ(Pixels8(dst), c.expected) << c.name;
    }
}

TEST(ImageBufferCopyArea, BitsAndFormatPairs) {
    // 1-bit to 1-bit at offsets that are not byte aligned.
    TImageBuffer bits(12, 1, pf1g);
    bits.Fill(0);
    for (int x : {0, 3, 4, 11})
        bits.SetPixel1(x, 0, true);
    TImageBuffer dst(12, 1, pf1g);
    dst.Fill(0);
    bits.CopyArea(dst, 3, 0, 6, 0, 9, 1);  // source 3..8 lands on 6..11
    std::string got;
    for (int x = 0; x < 12; ++x)
        got += dst.GetPixel1(x, 0) ? '1' : '0';
    EXPECT_EQ(got, "000000110000");

    // 1-bit to 24-bit gives black and white.
    TImageBuffer rgb(3, 1, pf24RGB);
    rgb.Fill(MakeColor(9, 9, 9));
    bits.CopyArea(rgb, 2, 0, 0, 0, 3, 1);
    EXPECT_EQ(rgb.GetPixel24(0, 0), (TBGRTriple{0, 0, 0}));
    EXPECT_EQ(rgb.GetPixel24(1, 0), (TBGRTriple{255, 255, 255}));
    EXPECT_EQ(rgb.GetPixel24(2, 0), (TBGRTriple{255, 255, 255}));

    // Other pairs copy nothing.
    TImageBuffer grey(3, 1, pf8g);
    grey.Fill(200);
    rgb.Fill(0);
    grey.CopyArea(rgb, 0, 0, 0, 0, 3, 1);
    EXPECT_EQ(rgb.GetPixel24(1, 0), (TBGRTriple{0, 0, 0}));

    // Within one buffer the rectangles may overlap.
    TImageBuffer self(5, 1, pf8g);
    Paint8(self, [](int x, int) { return x + 1; });
    self.CopyArea(self, 0, 0, 1, 0, 4, 1);
    EXPECT_EQ(Pixels8(self), (std::vector<std::vector<int>>{{1, 1, 2, 3, 4}}));
}

TEST(ImageBufferMoveArea, MovesAndFillsWhatItUncovers) {
    struct Case {
        const char* name;
        int x1, y1, x2, y2, dx, dy;
        std::vector<std::vector<int>> expected;
    };
    // Pixel (x, y) holds 1 + x + 10 y; the fill is 0.
    const Case cases[] = {
        {"overlapping, one right", 0, 0, 2, 0, 1, 0, {{0, 1, 2, 3}, {11, 12, 13, 14}}},
        {"down and left, partly off", 1, 0, 3, 0, -1, 1, {{1, 0, 0, 0}, {3, 4, 13, 14}}},
        {"rectangle starting left of the buffer",
         -2,
         1,
         1,
         1,
         0,
         0,
         {{1, 2, 11, 12}, {0, 0, 13, 14}}},
        {"moved off the buffer", INT_MIN, 0, 1, 1, INT_MAX, 0, {{0, 0, 3, 4}, {0, 0, 13, 14}}},
    };
    for (const Case& c : cases) {
        TImageBuffer b(4, 2, pf8g);
        Paint8(b, [](int x, int y) { return 1 + x + 10 * y; });
        b.MoveArea(c.x1, c.y1, c.x2, c.y2, c.dx, c.dy, 0);
        EXPECT_EQ(Pixels8(b), c.expected) << c.name;
    }
}

TEST(ImageBufferCanvas, SetCanvasSizeAlignsAndFillsAlpha) {
    struct Case {
        const char* name;
        int width, height, hAlign, vAlign;
        int offsetX, offsetY;  // where the old pixel (0, 0) lands
    };
    const Case cases[] = {
        {"10 to 14 wide, centred", 14, 10, 1, 1, 2, 0},
        {"wider, right aligned", 13, 10, 2, 0, 3, 0},
        {"narrower, centred", 6, 10, 1, 0, -2, 0},
        {"narrower, right aligned", 7, 10, 2, 0, -3, 0},
        {"taller at the bottom, narrower on the left", 8, 13, 0, 2, 0, 3},
        {"shorter centred, wider centred", 12, 5, 1, 1, 1, -2},
    };
    // Each format stores a code per pixel: old pixels 1 + x + 10 y (pf1g: one bit of it);
    // the fill value stores code 0. The expected image is built with the same coding.
    struct Format {
        TPixelFormatKind format;
        double fill;
        void (*put)(TImageBuffer&, int x, int y, int code);
        int (*get)(const TImageBuffer&, int x, int y);
    };
    const Format formats[] = {
        {pf8g, 0, [](TImageBuffer& b, int x, int y, int v) { b.SetPixel8(x, y, uint8_t(v)); },
         [](const TImageBuffer& b, int x, int y) { return int(b.GetPixel8(x, y)); }},
        {pf24RGB, MakeColor(255, 0, 0),
         [](TImageBuffer& b, int x, int y, int v) {
             b.SetPixel24(x, y, {uint8_t(v), uint8_t(v * 3), uint8_t(255 - v)});
         },
         [](const TImageBuffer& b, int x, int y) {
             const TBGRTriple p = b.GetPixel24(x, y);
             const int v = p.rgbtBlue;
             return p.rgbtGreen == uint8_t(v * 3) && p.rgbtRed == 255 - v ? v : -1;
         }},
        {pf1g, 0, [](TImageBuffer& b, int x, int y, int v) { b.SetPixel1(x, y, v % 3 != 0); },
         [](const TImageBuffer& b, int x, int y) { return int(b.GetPixel1(x, y)); }},
    };
    for (const Format& f : formats) {
        for (const Case& c : cases) {
            TImageBuffer b(10, 10, f.format);
            for (int y = 0; y < 10; ++y)
                for (int x = 0; x < 10; ++x)
                    f.put(b, x, y, 1 + x + 10 * y);
            Paint8(*b.Alpha(), [](int x, int y) { return 100 + x + 10 * y; });
            b.SetCanvasSize(c.width, c.height, f.fill, 7, c.hAlign, c.vAlign);
            ASSERT_EQ(b.Width(), c.width) << c.name;
            ASSERT_EQ(b.Height(), c.height) << c.name;
            ASSERT_TRUE(b.HasAlpha()) << c.name;
            ASSERT_EQ(b.AlphaIfAny()->Width(), c.width) << c.name;
            ASSERT_EQ(b.AlphaIfAny()->Height(), c.height) << c.name;
            TImageBuffer expected(c.width, c.height, f.format);
            int wrong = 0, wrongAlpha = 0;
            for (int y = 0; y < c.height; ++y)
                for (int x = 0; x < c.width; ++x) {
                    const int ox = x - c.offsetX, oy = y - c.offsetY;
                    const bool old = ox >= 0 && ox < 10 && oy >= 0 && oy < 10;
                    f.put(expected, x, y, old ? 1 + ox + 10 * oy : 0);
                    if (f.get(b, x, y) != f.get(expected, x, y))
                        ++wrong;
                    if (b.Alpha()->GetPixel8(x, y) != (old ? 100 + ox + 10 * oy : 7))
                        ++wrongAlpha;
                }
            EXPECT_EQ(wrong, 0) << "format " << f.format << ": " << c.name;
            EXPECT_EQ(wrongAlpha, 0) << "format " << f.format << ": " << c.name;
        }
    }
}

TEST(ImageBufferCanvas, SetWidthKeepsTopLeftAndAlphaFollows) {
    TImageBuffer b(4, 3, pf8p);
    Paint8(b, [](int x, int y) { return 1 + x + 10 * y; });
    b.PaletteEntry(1, {9, 8, 7});
    b.Alpha();
    ASSERT_TRUE(b.SetWidth(2));
    ASSERT_TRUE(b.SetHeight(2));
    EXPECT_EQ(Pixels8(b), (std::vector<std::vector<int>>{{1, 2}, {11, 12}}));
    EXPECT_EQ(b.PaletteEntry(1), (TBGRTriple{9, 8, 7}));
    EXPECT_EQ(b.AlphaIfAny()->Width(), 2);
    EXPECT_EQ(b.AlphaIfAny()->Height(), 2);
    EXPECT_FALSE(b.AlphaIfAny()->FullyOpaque);
    EXPECT_FALSE(b.SetWidth(0));
    EXPECT_EQ(b.Width(), 2);
}

// --- orientation -----------------------------------------------------------------------

// The 3 x 2 image "abc/def" brought upright for each orientation value.
TEST(ImageBufferOrientation, AllEightValuesTurnImageAndAlpha) {
    struct Case {
        int orientation;
        std::vector<std::string> upright;
    };
    const Case cases[] = {
        {0, {"abc", "def"}},     {1, {"abc", "def"}},     {2, {"cba", "fed"}},
        {3, {"fed", "cba"}},     {4, {"def", "abc"}},     {5, {"ad", "be", "cf"}},
        {6, {"da", "eb", "fc"}}, {7, {"fc", "eb", "da"}}, {8, {"cf", "be", "ad"}},
        {9, {"abc", "def"}},
    };
    const std::string letters[] = {"abc", "def"};
    const std::string whiteLetters = "ace";  // for pf1g: these pixels are white
    for (TPixelFormatKind format : {pf24RGB, pf8g, pfGray16, pf1g}) {
        for (const Case& c : cases) {
            TImageBuffer b(3, 2, format);
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 3; ++x) {
                    const char l = letters[y][size_t(x)];
                    if (format == pf24RGB)
                        b.SetPixel24(x, y, {uint8_t(l), 1, uint8_t(l + 1)});
                    if (format == pf8g)
                        b.SetPixel8(x, y, uint8_t(l));
                    if (format == pfGray16)
                        b.SetPixel16(x, y, uint16_t(l * 257));
                    if (format == pf1g)
                        b.SetPixel1(x, y, whiteLetters.find(l) != std::string::npos);
                }
            if (format != pf1g)
                Paint8(*b.Alpha(), [&](int x, int y) { return letters[y][size_t(x)]; });
            b.ApplyOrientation(c.orientation);

            const int h = int(c.upright.size()), w = int(c.upright[0].size());
            ASSERT_EQ(b.Width(), w) << "orientation " << c.orientation;
            ASSERT_EQ(b.Height(), h) << "orientation " << c.orientation;
            std::vector<std::string> got(static_cast<size_t>(h)), gotAlpha(static_cast<size_t>(h));
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const char want = c.upright[size_t(y)][size_t(x)];
                    char l = '?';
                    if (format == pf24RGB) {
                        const TBGRTriple p = b.GetPixel24(x, y);
                        l = p.rgbtRed == p.rgbtBlue + 1 ? char(p.rgbtBlue) : '?';
                    }
                    if (format == pf8g)
                        l = char(b.GetPixel8(x, y));
                    if (format == pfGray16)
                        l = char(b.GetPixel16(x, y) / 257);
                    if (format == pf1g) {
                        const bool white = whiteLetters.find(want) != std::string::npos;
                        l = b.GetPixel1(x, y) == white ? want : '?';
                    }
                    got[size_t(y)] += l;
                    if (format != pf1g)
                        gotAlpha[size_t(y)] += char(b.Alpha()->GetPixel8(x, y));
                }
            EXPECT_EQ(got, c.upright) << "format " << format << ", orientation " << c.orientation;
            if (format != pf1g) {
                EXPECT_EQ(gotAlpha, c.upright)
                    << "alpha, format " << format << ", orientation " << c.orientation;
            }
        }
    }
}

TEST(ImageBufferOrientation, OneBitFlipKeepsPaddingOutOfTheRow) {
    // 10 pixels: the row's second byte holds 2 pixels and 6 padding bits.
    TImageBuffer b(10, 1, pf1g);
    std::memset(b.RowPointer(0), 0xFF, size_t(b.RowLen()));  // padding set too
    b.SetPixel1(9, 0, false);
    b.Flip(fdHorizontal);
    std::string got;
    for (int x = 0; x < 10; ++x)
        got += b.GetPixel1(x, 0) ? '1' : '0';
    EXPECT_EQ(got, "0111111111");
}

// --- pixels, palette, greys --------------------------------------------------------------

TEST(ImageBufferPixels, PixelAsRGBPerFormat) {
    struct Case {
        TPixelFormatKind format;
        std::vector<uint8_t> bytes;  // pixel (1, 0) as stored
        TBGRTriple expected;
    };
    const float half = 0.5f, over = 2.0f;
    std::vector<uint8_t> halfBytes(4), overBytes(4);
    std::memcpy(halfBytes.data(), &half, 4);
    std::memcpy(overBytes.data(), &over, 4);
    const Case cases[] = {
        {pf8g, {77}, {77, 77, 77}},
        {pf8p, {5}, {1, 2, 3}},
        {pfGray16, {0xFF, 0x12}, {0x12, 0x12, 0x12}},
        {pf32f, halfBytes, {127, 127, 127}},
        {pf32f, overBytes, {255, 255, 255}},
        {pf24RGB, {10, 20, 30}, {10, 20, 30}},
        {pf32RGBX, {10, 20, 30, 40}, {10, 20, 30}},
        {pfRGB48, {0x01, 0xAA, 0x02, 0xBB, 0x03, 0xCC}, {0xCC, 0xBB, 0xAA}},
        {pfCMYK, {255, 255, 255, 255}, CMYKToRGB(255, 255, 255, 255)},
        {pfCIELab, {250, 0, 0}, CIELabToRGB(250, 0, 0)},
    };
    for (const Case& c : cases) {
        TImageBuffer b(2, 1, c.format);
        std::memset(b.RowPointer(0), 0, size_t(b.RowLen()));
        std::memcpy(b.RowPointer(0) + c.bytes.size(), c.bytes.data(), c.bytes.size());
        if (c.format == pf8p)
            b.PaletteEntry(5, {1, 2, 3});
        EXPECT_EQ(b.PixelAsRGB(1, 0), c.expected) << "format " << c.format;
    }
    TImageBuffer bits(9, 1, pf1g);
    bits.Fill(0);
    bits.SetPixel1(8, 0, true);
    EXPECT_EQ(bits.PixelAsRGB(8, 0), (TBGRTriple{255, 255, 255}));
    EXPECT_EQ(bits.PixelAsRGB(7, 0), (TBGRTriple{0, 0, 0}));
    EXPECT_EQ(TImageBuffer().PixelAsRGB(0, 0), (TBGRTriple{0, 0, 0}));
}

TEST(ImageBufferPixels, WritesBelowTheMaximumClearFullyOpaque) {
    struct Case {
        const char* name;
        TPixelFormatKind format;
        void (*atMaximum)(TImageBuffer&);
        void (*belowMaximum)(TImageBuffer&);
    };
    const Case cases[] = {
        {"8-bit", pf8g, [](TImageBuffer& b) { b.SetPixel8(0, 0, 255); },
         [](TImageBuffer& b) { b.SetPixel8(0, 0, 254); }},
        {"16-bit", pfGray16, [](TImageBuffer& b) { b.SetPixel16(0, 0, 65535); },
         [](TImageBuffer& b) { b.SetPixel16(0, 0, 65534); }},
        {"float", pf32f, [](TImageBuffer& b) { b.SetPixelFloat(0, 0, 1.0f); },
         [](TImageBuffer& b) { b.SetPixelFloat(0, 0, 0.99f); }},
        {"triple", pf24RGB,
         [](TImageBuffer& b) {
             b.SetPixel24(0, 0, {255, 255, 255});
         },
         [](TImageBuffer& b) {
             b.SetPixel24(0, 0, {255, 254, 255});
         }},
        {"48-bit", pfRGB48,
         [](TImageBuffer& b) {
             b.SetPixel48(0, 0, {65535, 65535, 65535});
         },
         [](TImageBuffer& b) {
             b.SetPixel48(0, 0, {65535, 65535, 0});
         }},
        {"bit", pf1g, [](TImageBuffer& b) { b.SetPixel1(0, 0, true); },
         [](TImageBuffer& b) { b.SetPixel1(0, 0, false); }},
    };
    for (const Case& c : cases) {
        TImageBuffer b(2, 2, c.format);
        b.FullyOpaque = true;
        c.atMaximum(b);
        EXPECT_TRUE(b.FullyOpaque) << c.name;
        c.belowMaximum(b);
        EXPECT_FALSE(b.FullyOpaque) << c.name;
    }
    TImageBuffer w(2, 1, pfRGB48);
    w.SetPixel48(1, 0, {1, 2, 0xABCD});
    EXPECT_EQ(w.RowPointer(0)[6 + 4], 0xCD);  // little-endian blue word, last in the pixel
    EXPECT_EQ(w.GetPixel48(1, 0), (TRGB48Pixel{1, 2, 0xABCD}));
}

TEST(ImageBufferPixels, RecheckOpaqueIgnoresRowPadding) {
    TImageBuffer b(3, 2, pf8g);  // RowLen 4: one padding byte per row
    for (int r = 0; r < 2; ++r)
        std::memset(b.RowPointer(r), 0, size_t(b.RowLen()));
    for (int r = 0; r < 2; ++r)
        std::memset(b.RowPointer(r), 255, 3);
    b.RecheckOpaque();
    EXPECT_TRUE(b.FullyOpaque);
    b.RowPointer(1)[2] = 3;  // writes through RowPointer leave the flag alone...
    EXPECT_TRUE(b.FullyOpaque);
    b.RecheckOpaque();  // ...until rechecked
    EXPECT_FALSE(b.FullyOpaque);
}

TEST(ImageBufferPixels, IsGrayScale) {
    TImageBuffer rgb(3, 2, pf24RGB);
    rgb.Fill(MakeColor(40, 40, 40));
    EXPECT_TRUE(rgb.IsGrayScale());
    rgb.SetPixel24(2, 1, {40, 41, 40});
    EXPECT_FALSE(rgb.IsGrayScale());

    TImageBuffer wide(2, 1, pfRGB48);
    wide.SetPixel48(0, 0, {7, 7, 7});
    wide.SetPixel48(1, 0, {300, 300, 300});
    EXPECT_TRUE(wide.IsGrayScale());
    wide.SetPixel48(1, 0, {300, 300, 301});
    EXPECT_FALSE(wide.IsGrayScale());

    TImageBuffer pal(1, 1, pf8p);
    for (int i = 0; i < 256; ++i)
        pal.PaletteEntry(i, {uint8_t(i), uint8_t(i), uint8_t(i)});
    EXPECT_TRUE(pal.IsGrayScale());
    pal.PaletteEntry(200, {0, 0, 1});
    EXPECT_FALSE(pal.IsGrayScale());

    TImageBuffer grey(1, 1, pf8g);
    EXPECT_TRUE(grey.IsGrayScale());
}

TEST(ImageBufferPalette, LengthEntriesAndCopy) {
    TImageBuffer pal(2, 2, pf8p);
    TImageBuffer grey(2, 2, pf8g);
    EXPECT_EQ(pal.PaletteLength(), 256);
    EXPECT_EQ(grey.PaletteLength(), 0);
    pal.PaletteEntry(255, {1, 2, 3});
    pal.PaletteEntry(256, {9, 9, 9});  // ignored
    pal.PaletteEntry(-1, {9, 9, 9});   // ignored
    EXPECT_EQ(pal.PaletteEntry(255), (TBGRTriple{1, 2, 3}));
    EXPECT_EQ(pal.PaletteEntry(256), (TBGRTriple{}));
    grey.PaletteEntry(0, {9, 9, 9});  // no palette: ignored
    EXPECT_EQ(grey.PaletteEntry(0), (TBGRTriple{}));

    pal.PaletteColors = 2;
    TImageBuffer other(1, 1, pf8p);
    other.PaletteColors = 50;
    pal.CopyPaletteTo(other);
    EXPECT_EQ(other.PaletteEntry(255), (TBGRTriple{1, 2, 3}));
    EXPECT_EQ(other.PaletteColors, 2);
    // From a buffer without palette: the destination's colour count goes back to 256, and
    // a pf8p destination keeps palette storage for its indexes.
    grey.CopyPaletteTo(other);
    EXPECT_EQ(other.PaletteColors, 256);
    EXPECT_EQ(other.PaletteLength(), 256);
}

// --- masks -----------------------------------------------------------------------------

TEST(PixelMask, PixelsBoxAndFill) {
    for (int bits : {1, 8}) {
        TPixelMask m(10, 4, bits);
        EXPECT_EQ(m.RowLen(), bits == 1 ? 4 : 12);
        EXPECT_TRUE(m.IsEmptyBox());
        m.SetPixel(3, 2, 1);
        m.SetPixel(7, 1, 255);
        m.SetPixel(9, 3, 0);   // zero does not widen the box
        m.SetPixel(10, 0, 1);  // outside: ignored
        m.SetPixel(-1, 0, 1);
        EXPECT_EQ(m.GetPixel(3, 2), 1);
        EXPECT_EQ(m.GetPixel(7, 1), bits == 1 ? 1 : 255);
        EXPECT_EQ(m.GetPixel(10, 0), 0);
        EXPECT_EQ((std::vector<int>{m.X1, m.Y1, m.X2, m.Y2}), (std::vector<int>{3, 1, 7, 2}));
        // Bottom-up rows.
        EXPECT_EQ(m.RowPointer(0) - m.RowPointer(1), m.RowLen());

        m.Fill(bits == 1 ? 1 : 255);
        EXPECT_TRUE(m.FullyOpaque);
        EXPECT_EQ(m.GetPixel(9, 3), bits == 1 ? 1 : 255);
        m.SetPixel(0, 0, 0);
        EXPECT_FALSE(m.FullyOpaque);
        m.Clear();
        EXPECT_TRUE(m.IsEmptyBox());
        EXPECT_FALSE(m.FullyOpaque);
        EXPECT_EQ(m.GetPixel(9, 3), 0);
    }
    TPixelMask bad;
    EXPECT_FALSE(bad.Allocate(4, 4, 4));
    EXPECT_FALSE(bad.Allocate(0, 4, 8));
}

TEST(PixelMask, CopiesBetweenMasksAndBuffers) {
    TPixelMask one(9, 2, 1);
    one.SetPixel(8, 1, 1);
    TImageBuffer b;
    b.CopyFromPixelMask(&one);
    EXPECT_EQ(b.PixelFormat(), pf1g);
    EXPECT_TRUE(b.GetPixel1(8, 1));
    EXPECT_FALSE(b.GetPixel1(8, 0));

    // An alpha buffer stays 8-bit: a 1-bit mask becomes 0 and 255.
    TImageBuffer img(9, 2, pf24RGB);
    img.Alpha()->CopyFromPixelMask(&one);
    EXPECT_EQ(img.AlphaIfAny()->PixelFormat(), pf8g);
    EXPECT_EQ(img.Alpha()->GetPixel8(8, 1), 255);
    EXPECT_EQ(img.Alpha()->GetPixel8(7, 1), 0);

    TPixelMask eight(3, 2, 8);
    eight.SetPixel(1, 0, 77);
    b.CopyFromPixelMask(&eight);
    EXPECT_EQ(b.PixelFormat(), pf8g);
    EXPECT_EQ(Pixels8(b), (std::vector<std::vector<int>>{{0, 77, 0}, {0, 0, 0}}));
    b.CopyFromPixelMask(nullptr);
    EXPECT_EQ(Pixels8(b), (std::vector<std::vector<int>>{{255, 255, 255}, {255, 255, 255}}));
    EXPECT_TRUE(b.FullyOpaque);

    // pf24RGB gives an 8-bit mask of grey >> 2: red 53, green 181, blue 20, white 255.
    TImageBuffer rgb(4, 2, pf24RGB);
    rgb.Fill(0);
    rgb.SetPixel24(0, 1, {0, 0, 255});
    rgb.SetPixel24(1, 1, {0, 255, 0});
    rgb.SetPixel24(2, 1, {255, 0, 0});
    rgb.SetPixel24(3, 1, {255, 255, 255});
    TPixelMask grey;
    rgb.CopyToPixelMask(grey);
    ASSERT_EQ(grey.BitsPerPixel(), 8);
    EXPECT_EQ((std::vector<int>{grey.GetPixel(0, 1), grey.GetPixel(1, 1), grey.GetPixel(2, 1),
                                grey.GetPixel(3, 1), grey.GetPixel(0, 0)}),
              (std::vector<int>{53 >> 2, 181 >> 2, 20 >> 2, 255 >> 2, 0}));
    EXPECT_EQ((std::vector<int>{grey.X1, grey.Y1, grey.X2, grey.Y2}),
              (std::vector<int>{0, 1, 3, 1}));

    TPixelMask back;
    b.CopyFromPixelMask(&one);
    b.CopyToPixelMask(back);
    EXPECT_EQ(back.BitsPerPixel(), 1);
    EXPECT_EQ(back.GetPixel(8, 1), 1);
    EXPECT_EQ(back.X1, 8);
}

}  // namespace
}  // namespace morvane
