#include "imageproc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imagedocument.h"
#include "pixelfixtures.h"

namespace morvane {
namespace {

using test::MakeGrey;
using test::MakeImage;
using test::MakeSolid;
using test::Sample;
using test::Samples;

// Runs the processor on a stand-alone buffer (no document, no undo).
void ResampleBuffer(TImageBuffer& image, int width, int height, TResampleFilter filter) {
    TImageProcessor proc;
    proc.AttachedBitmap(&image);
    proc.Resample(width, height, filter);
}

// --- target size ------------------------------------------------------------------------

TEST(ResampleTargetSize, ArgumentRules) {
    struct Case {
        int W, H, w, h;
        std::optional<TTargetSize> expected;
    };
    const Case cases[] = {
        {1600, 1200, -1, 600, TTargetSize{800, 600}},
        {1600, 1200, 800, -1, TTargetSize{800, 600}},
        {1600, 1200, -800, 600, TTargetSize{800, 600}},
        {1600, 1200, 0, 600, TTargetSize{1600, 600}},
        {1600, 1200, 0, 0, TTargetSize{1600, 1200}},
        {1600, 1200, -1, -1, std::nullopt},
        {1600, 1200, -5, -7, std::nullopt},
        {10, 1000, -1, 1, TTargetSize{1, 1}},     // 1 * 10 div 1000 = 0, raised to 1
        {1000, 10, 3, -1, TTargetSize{3, 1}},     // 3 * 10 div 1000 = 0, raised to 1
        {1600, 1200, -1, 0, TTargetSize{1, 1200}},  // proportional to a height argument of 0
        {0, 1200, 100, 100, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ResampleTargetSize(c.W, c.H, c.w, c.h), c.expected)
            << c.W << "x" << c.H << " (" << c.w << ", " << c.h << ")";
    }
}

TEST(Resample, BothArgumentsNegativeOrNoImageChangesNothing) {
    TImageDocument doc;
    doc.CurrentBuffer().Assign(*MakeSolid(16, 12, {1, 2, 3}));
    doc.Proc().Resample(-1, -1, rfLanczos3);
    EXPECT_EQ(doc.CurrentBuffer().Width(), 16);
    EXPECT_EQ(doc.CurrentBuffer().Height(), 12);
    EXPECT_EQ(doc.Proc().UndoCount(), 0);

    TImageProcessor detached;
    detached.Resample(10, 10, rfTriangle);  // no image: nothing to do, nothing to crash
    EXPECT_EQ(detached.Image(), nullptr);
}

// --- nearest copy -----------------------------------------------------------------------

TEST(ResampleNearest, FourToTwoColumnsTakesColumnsZeroAndTwo) {
    for (TPixelFormatKind format : {pf1g, pf8g, pfGray16, pf24RGB, pfRGB48, pfCMYK}) {
        // Column x holds a value that tells the columns apart in every format.
        auto image = MakeImage(4, 2, format, [](int x, int y, int c) {
            return x == 1 || x == 3 ? 0 : 100 + 40 * x + 10 * c + y;
        });
        ResampleBuffer(*image, 2, 2, rfNone);
        ASSERT_EQ(image->PixelFormat(), format);
        ASSERT_EQ(image->Width(), 2);
        for (int c = 0; c < image->ChannelCount(); ++c) {
            const int on = format == pf1g ? 255 : 100 + 10 * c;
            EXPECT_EQ(Sample(*image, 0, 0, c), on) << "format " << format;
            EXPECT_EQ(Sample(*image, 1, 0, c), format == pf1g ? 255 : on + 80) << "format " << format;
        }
    }
}

TEST(ResampleNearest, PalettedImageKeepsItsPalette) {
    auto image = MakeImage(4, 4, pf8p, [](int x, int, int) { return x; });
    for (int i = 0; i < 256; ++i) image->PaletteEntry(i, {uint8_t(i), 7, uint8_t(255 - i)});
    ResampleBuffer(*image, 2, 8, rfNone);
    ASSERT_EQ(image->PixelFormat(), pf8p);
    EXPECT_EQ(Samples(*image)[5], (std::vector<int>{0, 2}));
    EXPECT_EQ(image->PaletteEntry(2), (TBGRTriple{2, 7, 253}));
}

// --- convolution ------------------------------------------------------------------------

TEST(ResampleConvolution, TriangleAtTheSameSizeReproducesTheImage) {
    auto image = MakeImage(7, 5, pf24RGB, [](int x, int y, int c) { return (x * 37 + y * 91 + c * 53) % 256; });
    TImageBuffer original;
    original.Assign(*image);
    ResampleBuffer(*image, 7, 5, rfTriangle);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(Samples(*image, c), Samples(original, c));
}

TEST(ResampleConvolution, MirroredEdgesAndTruncatedDivision) {
    // 3 -> 2 columns with rfTriangle: s = 1/2, so each list reads source n with weight
    // Round(K((c - n) / 2) * 128). Column 0 (c = 0): 64 * p(-1 -> 1) + 128 * p0 + 64 * p1;
    // column 1 (c = 2): 64 * p1 + 128 * p2 + 64 * p(3 -> 2).
    auto image = MakeGrey({{10, 20, 40}});
    ResampleBuffer(*image, 2, 1, rfTriangle);
    EXPECT_EQ(Samples(*image), (std::vector<std::vector<int>>{{15, 35}}));

    auto odd = MakeGrey({{10, 21, 40}});  // (64*21 + 128*10 + 64*21) / 256 = 15.5 -> 15
    ResampleBuffer(*odd, 2, 1, rfTriangle);
    EXPECT_EQ(Samples(*odd), (std::vector<std::vector<int>>{{15, 35}}));
}

TEST(ResampleConvolution, ReductionsBeyondTheWeightResolutionKeepTheImage) {
    // 1200:1 rounds every 8-bit weight to 0; the centre pixel stands in for the empty list.
    auto image = MakeImage(1200, 2, pf8g, [](int, int, int) { return 255; });
    ResampleBuffer(*image, 1, 2, rfTriangle);
    EXPECT_EQ(Samples(*image), (std::vector<std::vector<int>>{{255}, {255}}));
}

TEST(ResampleConvolution, OneBitSourcesBecomeGreyRGB) {
    auto image = MakeImage(16, 8, pf1g, [](int x, int, int) { return x < 8; });
    ResampleBuffer(*image, 8, 4, rfLanczos3);
    ASSERT_EQ(image->PixelFormat(), pf24RGB);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 8; ++x) {
            EXPECT_EQ(Sample(*image, x, y, 0), Sample(*image, x, y, 1));
            EXPECT_EQ(Sample(*image, x, y, 1), Sample(*image, x, y, 2));
        }
    }
    EXPECT_EQ(Sample(*image, 0, 0), 255);
    EXPECT_EQ(Sample(*image, 7, 3), 0);
}

// --- every filter ---------------------------------------------------------------------

// A constant image stays constant under every filter that keeps the format, at
// reductions, enlargements and mixed factors; edges included.
TEST(ResampleAllFilters, ConstantImageStaysConstant) {
    struct Size {
        int sw, sh, dw, dh;
    };
    const Size sizes[] = {{9, 7, 4, 3}, {9, 7, 20, 15}, {5, 5, 5, 9}, {13, 3, 2, 11}, {1, 6, 3, 2}};
    for (int f = rfNone; f <= rfBicubic; ++f) {
        for (const Size& s : sizes) {
            for (TPixelFormatKind format : {pf8g, pf24RGB}) {
                auto image = MakeImage(s.sw, s.sh, format, [](int, int, int c) { return 77 + 50 * c; });
                ResampleBuffer(*image, s.dw, s.dh, TResampleFilter(f));
                ASSERT_EQ(image->Width(), s.dw);
                ASSERT_EQ(image->Height(), s.dh);
                for (int c = 0; c < image->ChannelCount(); ++c) {
                    const std::vector<std::vector<int>> expected(
                        size_t(s.dh), std::vector<int>(size_t(s.dw), 77 + 50 * c));
                    EXPECT_EQ(Samples(*image, c), expected)
                        << "filter " << f << ", format " << format << ", " << s.sw << "x" << s.sh
                        << " -> " << s.dw << "x" << s.dh;
                }
            }
        }
    }
}

// Every filter on every format yields the documented size and format, also with an
// alpha buffer; under the sanitizers this also checks that no path reads or writes
// outside its buffers.
TEST(ResampleAllFilters, OutputFormatAndSizeForEverySourceFormat) {
    for (int f = 0; f < kResampleFilterCount; ++f) {
        for (int format = pf1g; format < kPixelFormatCount; ++format) {
            auto image = MakeImage(11, 6, TPixelFormatKind(format), [](int x, int y, int) { return (x * y) & 1; });
            if (format != pf1g) image->Alpha()->RowPointer(2)[3] = 0;
            ResampleBuffer(*image, 4, 9, TResampleFilter(f));
            TPixelFormatKind expected = TPixelFormatKind(format);
            const bool projection = f == rfProjectBW || f == rfProjectWB;
            if (format == pf1g && f != rfNone && !projection) expected = pf24RGB;
            if (format == pf24RGB && projection) expected = pf1g;
            EXPECT_EQ(image->PixelFormat(), expected) << "filter " << f << ", format " << format;
            EXPECT_EQ(image->Width(), 4);
            EXPECT_EQ(image->Height(), 9);
            if (format != pf1g) {
                ASSERT_TRUE(image->HasAlpha());
                EXPECT_EQ(image->AlphaIfAny()->Width(), 4);
            }
        }
    }
}

// --- fast linear / box ------------------------------------------------------------------

TEST(ResampleFastLinear, SeventeenBitFractionsRoundTowardMinusInfinity) {
    // 2 -> 4: columns at 0, 0.5, 1, 1.5; the last source column repeats.
    auto rising = MakeGrey({{10, 15}});
    ResampleBuffer(*rising, 4, 1, rfFastLinear);
    EXPECT_EQ(Samples(*rising), (std::vector<std::vector<int>>{{10, 12, 15, 15}}));
    auto falling = MakeGrey({{15, 10}});  // 15 + floor(-5 / 2) = 12
    ResampleBuffer(*falling, 4, 1, rfFastLinear);
    EXPECT_EQ(Samples(*falling), (std::vector<std::vector<int>>{{15, 12, 10, 10}}));
}

TEST(ResampleFastLinear, BoxesRunFromColumnStartToTheNextStartInclusive) {
    // 4 -> 2: column 0 averages source 0..2, the last column only its start pixel.
    auto image = MakeGrey({{10, 20, 40, 80}});
    ResampleBuffer(*image, 2, 1, rfFastLinear);
    EXPECT_EQ(Samples(*image), (std::vector<std::vector<int>>{{23, 40}}));
}

// --- exact area -------------------------------------------------------------------------

TEST(ResampleExactArea, HalvingGivesBlockMeansRoundedToEven) {
    // Block sums 6, 10, 14 and 7: means 1.5, 2.5, 3.5 and 1.75.
    const std::vector<std::vector<int>> rows = {
        {1, 2, 2, 3},
        {1, 2, 2, 3},
        {3, 4, 1, 2},
        {3, 4, 2, 2},
    };
    const std::vector<std::vector<int>> expected = {{2, 2}, {4, 2}};
    for (TResampleFilter filter : {rfBilinear, rfBicubic}) {
        auto grey = MakeGrey(rows);
        ResampleBuffer(*grey, 2, 2, filter);
        EXPECT_EQ(Samples(*grey), expected) << "filter " << filter;

        // The 16-bit path: the same means at 1000 times the value; the top-left block
        // 65535, 65535, 65534, 65534 has the mean 65534.5.
        auto wide = MakeImage(4, 4, pfGray16, [&](int x, int y, int) {
            if (x < 2 && y < 2) return 65535 - y;
            return rows[size_t(y)][size_t(x)] * 1000;
        });
        ResampleBuffer(*wide, 2, 2, filter);
        EXPECT_EQ(Samples(*wide), (std::vector<std::vector<int>>{{65534, 2500}, {3500, 1750}}))
            << "filter " << filter;
    }
}

// --- projection -------------------------------------------------------------------------

TEST(ResampleProjection, ThinLinesSurviveOnlyTheMatchingProjection) {
    struct Case {
        TPixelFormatKind format;
        TResampleFilter filter;
        bool darkLine;
        bool lineSurvives;
    };
    const Case cases[] = {
        {pf24RGB, rfProjectBW, true, true},  {pf24RGB, rfProjectWB, true, false},
        {pf1g, rfProjectBW, true, true},     {pf1g, rfProjectWB, true, false},
        {pf24RGB, rfProjectWB, false, true}, {pf1g, rfProjectWB, false, true},
    };
    for (const Case& c : cases) {
        // A one-pixel line at column 50 of a 100-column image.
        auto image = MakeImage(100, 6, c.format, [&](int x, int, int) {
            const bool line = x == 50;
            const bool white = c.darkLine ? !line : line;
            return c.format == pf1g ? int(white) : (white ? 255 : 0);
        });
        ResampleBuffer(*image, 10, 3, c.filter);
        ASSERT_EQ(image->PixelFormat(), pf1g);
        int lineColour = c.darkLine ? 0 : 255, lineDots = 0;
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 10; ++x) lineDots += Sample(*image, x, y) == lineColour;
        EXPECT_EQ(lineDots > 0, c.lineSurvives)
            << "format " << c.format << ", filter " << c.filter << ", dark line " << c.darkLine;
    }
}

TEST(ResampleProjection, OneBitSourcesStayOneBitForNoneAndProjections) {
    for (TResampleFilter filter : {rfNone, rfProjectBW, rfProjectWB, rfFastLinear}) {
        auto image = MakeImage(16, 16, pf1g, [](int x, int y, int) { return (x + y) % 3 == 0; });
        ResampleBuffer(*image, filter == rfFastLinear ? 16 : 5, 16, filter);
        // rfFastLinear copies at the same size and keeps pf1g as well.
        EXPECT_EQ(image->PixelFormat(), pf1g) << "filter " << filter;
    }
}

// --- alpha ------------------------------------------------------------------------------

TEST(ResampleAlpha, TransparentPixelsReadAsMidGreyAndAlphaFollows) {
    auto image = MakeSolid(4, 2, {0, 0, 255});
    TImageBuffer* alpha = image->Alpha();
    const int alphaValues[2][4] = {{0, 1, 0, 255}, {255, 0, 1, 255}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) alpha->RowPointer(y)[x] = uint8_t(alphaValues[y][x]);
    alpha->FullyOpaque = false;

    ResampleBuffer(*image, 4, 2, rfTriangle);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 4; ++x) {
            const TBGRTriple expected =
                alphaValues[y][x] == 0 ? TBGRTriple{128, 128, 128} : TBGRTriple{0, 0, 255};
            EXPECT_EQ(test::ColourAt(*image, x, y), expected) << x << "," << y;
        }
    }
    ASSERT_TRUE(image->HasAlpha());
    EXPECT_EQ(Samples(*image->AlphaIfAny()), (std::vector<std::vector<int>>{{0, 1, 0, 255}, {255, 0, 1, 255}}));
    EXPECT_FALSE(image->AlphaIfAny()->FullyOpaque);
}

TEST(ResampleAlpha, OpaqueAlphaStaysFlaggedOpaque) {
    auto image = MakeSolid(8, 8, {9, 9, 9});
    image->Alpha();  // created all 255 and FullyOpaque
    ResampleBuffer(*image, 3, 3, rfLanczos3);
    ASSERT_TRUE(image->HasAlpha());
    EXPECT_TRUE(image->AlphaIfAny()->FullyOpaque);
    EXPECT_FALSE(image->HasTransparency());
}

// --- progress, events, undo -------------------------------------------------------------

TEST(ResampleProgress, NeverAbove100AndEndsWith100) {
    struct Case {
        int sw, sh, dw, dh;
    };
    const Case cases[] = {{1000, 2, 3, 700}, {2, 1000, 700, 3}, {400, 400, 1, 1}};
    for (int f = 0; f < kResampleFilterCount; ++f) {
        for (const Case& c : cases) {
            auto image = MakeSolid(c.sw, c.sh, {50, 60, 70});
            TImageProcessor proc;
            proc.AttachedBitmap(image.get());
            std::vector<int> seen;
            int finished = 0;
            proc.OnProgress = [&](void* sender, int percent) {
                EXPECT_EQ(sender, &proc);
                seen.push_back(percent);
            };
            proc.OnFinishWork = [&](void*) { ++finished; };
            proc.Resample(c.dw, c.dh, TResampleFilter(f));
            ASSERT_GE(seen.size(), 2u);
            for (int p : seen) {
                EXPECT_GE(p, 0);
                EXPECT_LE(p, 100) << "filter " << f << ", " << c.sw << "x" << c.sh;
            }
            EXPECT_EQ(seen.back(), 100);
            EXPECT_EQ(finished, 2);
        }
    }
}

TEST(ResampleUndo, OwnedProcessorKeepsUpToUndoLimitCopies) {
    TImageDocument doc;
    doc.CurrentBuffer().Assign(*MakeSolid(160, 120, {1, 2, 3}));
    TImageProcessor& proc = doc.Proc();
    EXPECT_TRUE(proc.AutoUndo);
    EXPECT_EQ(proc.UndoLimit, 1);

    proc.Resample(-1, 60, rfTriangle);
    ASSERT_EQ(proc.UndoCount(), 1);
    EXPECT_EQ(proc.UndoLabel(0), "Resample -1,60");
    EXPECT_EQ(proc.UndoImage(0).Width(), 160);
    EXPECT_EQ(doc.CurrentBuffer().Width(), 80);

    proc.Resample(40, 0, rfNone);  // the previous copy is dropped
    ASSERT_EQ(proc.UndoCount(), 1);
    EXPECT_EQ(proc.UndoLabel(0), "Resample 40,0");
    EXPECT_EQ(proc.UndoImage(0).Width(), 80);

    proc.UndoLimit = 3;
    proc.Resample(20, 20, rfNone);
    EXPECT_EQ(proc.UndoCount(), 2);

    proc.UndoLimit = 0;
    proc.Resample(10, 10, rfNone);
    EXPECT_EQ(proc.UndoCount(), 2);

    TImageProcessor detached;
    EXPECT_FALSE(detached.AutoUndo);
}

}  // namespace
}  // namespace morvane
