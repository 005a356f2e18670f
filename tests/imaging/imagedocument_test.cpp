#include "imagedocument.h"

#include <gtest/gtest.h>

#include <vector>

#include "pixelfixtures.h"

namespace morvane {
namespace {

using test::ColourAt;
using test::MakeImage;
using test::MakeSolid;

constexpr TBGRTriple kBlack{0, 0, 0};
constexpr TBGRTriple kWhite{255, 255, 255};
constexpr TBGRTriple kBackground{240, 240, 240};

// A document whose layer 0 holds a solid image; layer 1 (current) a solid layer.
struct TwoLayers {
    TImageDocument doc;
    TImageLayer* layer = nullptr;

    TwoLayers(int w0, int h0, TBGRTriple c0, int w1, int h1, TBGRTriple c1, int x, int y) {
        doc.CurrentBuffer().Assign(*MakeSolid(w0, h0, c0));
        doc.AddLayer();
        doc.CurrentBuffer().Assign(*MakeSolid(w1, h1, c1));
        layer = doc.LayerAt(1);
        layer->LayerX = x;
        layer->LayerY = y;
    }
    const TImageBuffer& Merged() const { return const_cast<TImageDocument&>(doc).LayerAt(0)->LayerBitmap; }
};

// --- layer list -------------------------------------------------------------------------

TEST(ImageDocumentLayers, NewDocumentAndAddLayer) {
    TImageDocument doc;
    EXPECT_EQ(doc.LayerCount(), 1);
    EXPECT_EQ(doc.CurrentLayer(), 0);
    EXPECT_EQ(doc.Background, MakeColor(240, 240, 240));
    EXPECT_TRUE(doc.LayerAt(0)->Locked);
    EXPECT_FALSE(doc.LayerAt(0)->ShowFrame);
    EXPECT_EQ(doc.LayerAt(1), nullptr);

    doc.CurrentBuffer().Assign(*MakeSolid(640, 480, kBlack));
    EXPECT_EQ(doc.AddLayer(), 1);
    EXPECT_EQ(doc.CurrentLayer(), 1);
    TImageBuffer& added = doc.CurrentBuffer();
    EXPECT_EQ(&added, &doc.LayerAt(1)->LayerBitmap);
    EXPECT_EQ(added.Width(), 640);
    EXPECT_EQ(added.Height(), 480);
    EXPECT_EQ(added.PixelFormat(), pf24RGB);
    EXPECT_FALSE(added.HasAlpha());
    EXPECT_EQ(ColourAt(added, 0, 0), kBackground);
    EXPECT_EQ(ColourAt(added, 639, 479), kBackground);
    EXPECT_EQ(ColourAt(doc.LayerAt(0)->LayerBitmap, 5, 5), kBlack);  // not touched

    TImageLayer& layer = *doc.LayerAt(1);
    EXPECT_TRUE(layer.LayerVisible);
    EXPECT_EQ(layer.LayerOpacity, 255);
    EXPECT_FALSE(layer.Locked);
    EXPECT_NE(layer.Identity, doc.LayerAt(0)->Identity);
    layer.DisplayWidth = 50;
    EXPECT_EQ(doc.LayerWidth(1), 50);
    EXPECT_EQ(doc.LayerHeight(1), 480);
}

TEST(ImageDocumentLayers, RemoveLayerTakesItsMaskAndMovesTheCurrentIndex) {
    TImageDocument doc;
    doc.CurrentBuffer().Assign(*MakeSolid(4, 4, kBlack));
    for (int i = 0; i < 4; ++i) doc.AddLayer();  // layers 0..4, current 4
    doc.LayerAt(2)->IsMaskLayer = true;
    doc.LayerAt(3)->Name = "three";

    doc.RemoveLayer(1);  // removes 1 and its mask 2; the current layer was above
    ASSERT_EQ(doc.LayerCount(), 3);
    EXPECT_EQ(doc.CurrentLayer(), 2);
    EXPECT_EQ(doc.LayerAt(1)->Name, "three");

    doc.RemoveLayer(2);  // the current one: the last layer becomes current
    EXPECT_EQ(doc.LayerCount(), 2);
    EXPECT_EQ(doc.CurrentLayer(), 1);

    doc.RemoveLayer(7);
    doc.RemoveLayer(-1);
    EXPECT_EQ(doc.LayerCount(), 2);
    doc.RemoveLayer(0);
    doc.RemoveLayer(0);  // never the last one
    EXPECT_EQ(doc.LayerCount(), 1);
    EXPECT_EQ(doc.CurrentLayer(), 0);
}

TEST(ImageDocumentLayers, CurrentLayerSkipsDownOverUnselectableLayers) {
    TImageDocument doc;
    doc.CurrentBuffer().Assign(*MakeSolid(4, 4, kBlack));
    doc.AddLayer();
    doc.AddLayer();
    doc.AddLayer();  // current 3
    doc.LayerAt(2)->Selectable = false;
    doc.LayerAt(1)->Selectable = false;
    doc.CurrentLayer(2);
    EXPECT_EQ(doc.CurrentLayer(), 0);
    doc.CurrentLayer(9);
    EXPECT_EQ(doc.CurrentLayer(), 0);
    doc.CurrentLayer(3);
    EXPECT_EQ(doc.CurrentLayer(), 3);
    EXPECT_EQ(&doc.CurrentBuffer(), &doc.LayerAt(3)->LayerBitmap);
}

TEST(ImageDocumentLayers, RemoveAllLayersResetsAndBlanksLayerZero) {
    TImageDocument doc;
    doc.CurrentBuffer().Assign(*MakeSolid(30, 20, kBlack));
    doc.LayerAt(0)->LayerOpacity = 10;
    doc.LayerAt(0)->LayerX = 5;
    doc.RemoveAllLayers();  // a single layer is blanked as well
    EXPECT_EQ(doc.CurrentBuffer().Width(), 30);
    EXPECT_EQ(ColourAt(doc.CurrentBuffer(), 29, 19), kBackground);
    EXPECT_EQ(doc.LayerAt(0)->LayerOpacity, 255);
    EXPECT_EQ(doc.LayerAt(0)->LayerX, 0);

    doc.AddLayer();
    doc.AddLayer();
    doc.RemoveAllLayers();
    EXPECT_EQ(doc.LayerCount(), 1);
    EXPECT_EQ(doc.CurrentLayer(), 0);
}

TEST(ImageDocumentLayers, ProcessorWorksOnTheCurrentLayer) {
    TImageDocument doc;
    doc.CurrentBuffer().Assign(*MakeSolid(64, 48, kBlack));
    doc.AddLayer();
    doc.CurrentBuffer().Assign(*MakeSolid(20, 10, kWhite));
    int finished = 0;
    doc.OnFinishWork = [&](void*) { ++finished; };
    doc.Proc().Resample(10, -1, rfTriangle);
    EXPECT_EQ(doc.LayerAt(1)->LayerBitmap.Width(), 10);
    EXPECT_EQ(doc.LayerAt(1)->LayerBitmap.Height(), 5);
    EXPECT_EQ(doc.LayerAt(0)->LayerBitmap.Width(), 64);
    EXPECT_EQ(finished, 2);
}

// --- merge ------------------------------------------------------------------------------

TEST(ImageDocumentMerge, OpaqueLayerReplacesItsRectangle) {
    TwoLayers t(640, 480, kBlack, 100, 50, kWhite, 530, 425);
    t.doc.MergeAllLayers();
    const TImageBuffer& out = t.Merged();
    EXPECT_EQ(t.doc.LayerCount(), 1);
    EXPECT_EQ(out.Width(), 640);
    EXPECT_EQ(out.Height(), 480);
    EXPECT_EQ(out.PixelFormat(), pf24RGB);
    EXPECT_EQ(ColourAt(out, 530, 425), kWhite);
    EXPECT_EQ(ColourAt(out, 629, 474), kWhite);
    EXPECT_EQ(ColourAt(out, 529, 425), kBlack);
    EXPECT_EQ(ColourAt(out, 630, 425), kBlack);
    EXPECT_EQ(ColourAt(out, 530, 424), kBlack);
    EXPECT_EQ(ColourAt(out, 530, 475), kBlack);
}

TEST(ImageDocumentMerge, WeightIsTheSmallerOfOpacityAndAlphaOverTwoFiftySix) {
    struct Case {
        TBGRTriple under, over;
        int opacity;
        int alpha;  // -1: the layer has no alpha buffer
        int expected;
    };
    const Case cases[] = {
        {kBlack, kWhite, 128, -1, 127},   // floor(255 * 128 / 256)
        {kWhite, kBlack, 128, -1, 127},   // 255 + floor(-127.5)
        {kBlack, kWhite, 200, 100, 99},   // weight 100
        {kBlack, kWhite, 50, 255, 49},    // weight 50
        {kBlack, kWhite, 255, 255, 254},  // alpha that counts: 1/256 of the difference stays
        {kBlack, kWhite, 0, -1, 0},
    };
    for (const Case& c : cases) {
        TwoLayers t(8, 8, c.under, 4, 4, c.over, 2, 2);
        t.layer->LayerOpacity = c.opacity;
        if (c.alpha >= 0) {
            TImageBuffer* alpha = t.doc.CurrentBuffer().Alpha();
            alpha->Fill(c.alpha);
            alpha->FullyOpaque = false;  // an alpha buffer that counts
        }
        t.doc.MergeAllLayers();
        const TBGRTriple got = ColourAt(t.Merged(), 3, 3);
        EXPECT_EQ(got, (TBGRTriple{uint8_t(c.expected), uint8_t(c.expected), uint8_t(c.expected)}))
            << "opacity " << c.opacity << ", alpha " << c.alpha;
        EXPECT_EQ(ColourAt(t.Merged(), 0, 0), c.under);
    }
}

TEST(ImageDocumentMerge, NegativePositionGrowsTheCanvasAndShiftsLayerZero) {
    TwoLayers t(640, 480, kBlack, 700, 500, kWhite, -30, -10);
    t.layer->LayerOpacity = 0;  // the layer shapes the canvas but paints nothing
    t.doc.MergeAllLayers();
    const TImageBuffer& out = t.Merged();
    ASSERT_EQ(out.Width(), 700);
    ASSERT_EQ(out.Height(), 500);
    EXPECT_EQ(ColourAt(out, 30, 10), kBlack);
    EXPECT_EQ(ColourAt(out, 669, 489), kBlack);
    EXPECT_EQ(ColourAt(out, 29, 10), kBackground);
    EXPECT_EQ(ColourAt(out, 30, 9), kBackground);
    EXPECT_EQ(ColourAt(out, 670, 489), kBackground);
    EXPECT_EQ(ColourAt(out, 30, 490), kBackground);
}

TEST(ImageDocumentMerge, LayerOutsideGrowsTheCanvasUnlessClipped) {
    for (bool clip : {false, true}) {
        TwoLayers t(640, 480, kBlack, 100, 100, kWhite, 600, 400);
        t.layer->ClipToBackground = clip;
        t.doc.MergeAllLayers();
        const TImageBuffer& out = t.Merged();
        EXPECT_EQ(out.Width(), clip ? 640 : 700);
        EXPECT_EQ(out.Height(), clip ? 480 : 500);
        EXPECT_EQ(ColourAt(out, 639, 479), kWhite);
        EXPECT_EQ(ColourAt(out, 599, 479), kBlack);
        if (!clip) {
            EXPECT_EQ(ColourAt(out, 699, 499), kWhite);
            EXPECT_EQ(ColourAt(out, 599, 499), kBackground);
        }
    }
}

TEST(ImageDocumentMerge, HiddenAndSinglePixelLayersChangeNothing) {
    struct Case {
        int w, h;
        bool visible;
    };
    for (const Case& c : {Case{4, 4, false}, Case{1, 1, true}}) {
        TwoLayers t(8, 8, kBlack, c.w, c.h, kWhite, 2, 2);
        t.layer->LayerVisible = c.visible;
        t.doc.MergeAllLayers();
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) ASSERT_EQ(ColourAt(t.Merged(), x, y), kBlack) << c.w;
    }
    // One pixel high but wide is still drawn.
    TwoLayers wide(8, 8, kBlack, 3, 1, kWhite, 2, 2);
    wide.doc.MergeAllLayers();
    EXPECT_EQ(ColourAt(wide.Merged(), 4, 2), kWhite);
}

TEST(ImageDocumentMerge, TransparentBackgroundImageShowsBackground) {
    for (bool enable : {true, false}) {
        TImageDocument doc;
        doc.EnableAlphaChannel = enable;
        doc.CurrentBuffer().Assign(*MakeSolid(4, 2, kBlack));
        TImageBuffer* alpha = doc.CurrentBuffer().Alpha();
        alpha->RowPointer(0)[1] = 0;
        alpha->RowPointer(0)[2] = 128;
        alpha->FullyOpaque = false;
        doc.MergeAllLayers();
        const TImageBuffer& out = doc.LayerAt(0)->LayerBitmap;
        EXPECT_FALSE(out.HasAlpha());
        EXPECT_EQ(ColourAt(out, 0, 0), kBlack);
        EXPECT_EQ(ColourAt(out, 1, 0), enable ? kBackground : kBlack);
        // 240 + floor((0 - 240) * 128 / 256) = 120
        EXPECT_EQ(ColourAt(out, 2, 0), enable ? (TBGRTriple{120, 120, 120}) : kBlack);
    }
}

TEST(ImageDocumentMerge, OtherFormatsCompositeByTheirColour) {
    struct Case {
        TPixelFormatKind format;
        int sample;
        TBGRTriple expected;
    };
    const Case cases[] = {
        {pf1g, 1, kWhite},
        {pf8g, 77, {77, 77, 77}},
        {pf8p, 3, {3, 30, 90}},
        {pf32RGBX, 5, {5, 15, 25}},  // first three bytes 5, 15, 25
    };
    for (const Case& c : cases) {
        TImageDocument doc;
        doc.CurrentBuffer().Assign(*MakeSolid(6, 6, kBlack));
        doc.AddLayer();
        auto layer = MakeImage(2, 2, c.format, [&](int, int, int ch) { return c.sample + 10 * ch; });
        if (c.format == pf8p) layer->PaletteEntry(3, {3, 30, 90});
        doc.CurrentBuffer().Assign(*layer);
        doc.LayerAt(1)->LayerX = 1;
        doc.LayerAt(1)->LayerY = 1;
        doc.MergeAllLayers();
        EXPECT_EQ(ColourAt(doc.LayerAt(0)->LayerBitmap, 2, 2), c.expected) << "format " << c.format;
    }
}

TEST(ImageDocumentMerge, LayerWithDisplaySizeIsResampledToIt) {
    TImageDocument doc;
    doc.CurrentBuffer().Assign(*MakeSolid(8, 8, kBlack));
    doc.AddLayer();
    doc.CurrentBuffer().Assign(*MakeSolid(2, 2, kWhite));
    doc.LayerAt(1)->DisplayWidth = 4;
    doc.LayerAt(1)->DisplayHeight = 3;
    doc.MergeAllLayers();
    const TImageBuffer& out = doc.LayerAt(0)->LayerBitmap;
    EXPECT_EQ(ColourAt(out, 3, 2), kWhite);
    EXPECT_EQ(ColourAt(out, 4, 2), kBlack);
    EXPECT_EQ(ColourAt(out, 3, 3), kBlack);
}

}  // namespace
}  // namespace morvane
