#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "codecs/jpeg/jpegcodec.h"
#include "corpus.h"
#include "imagebuffer.h"
#include "ioframe.h"
#include "streams.h"

namespace morvane {
namespace {

using test::ManifestRow;

std::vector<ManifestRow> JpegRows() { return test::ReadManifest(MORVANE_CORPUS_DIR, "jpeg/", "jpeg"); }

// Truncated files and those no decoder reads (12-bit) must end with Aborting; every
// other file must decode to the reference pixels exactly (all decoders here use
// libjpeg-turbo with its default settings).
bool ExpectFailure(const ManifestRow& row) {
    return row.Exercises.find("no-EOI(truncated)") != std::string::npos ||
           row.ReferenceDecoder == "none";
}

bool IsCmyk(const ManifestRow& row) { return row.Exercises.find("4comp") != std::string::npos; }

class JpegCorpus : public testing::TestWithParam<ManifestRow> {};

TEST_P(JpegCorpus, DecodesLikeTheReferenceOrFailsCleanly) {
    const ManifestRow& row = GetParam();
    const bool cmyk = IsCmyk(row);
    TImageBuffer image;
    TImageParams params;
    std::atomic<bool> aborting{false};
    TProgressRec progress;
    progress.Aborting = &aborting;
    TWideFileStream file(std::filesystem::path(MORVANE_CORPUS_DIR) / row.File,
                         TWideFileStream::Mode::OpenRead);
    TBufferedReadStream stream(file, 8192);
    int rows = ReadJpegStream(stream, nullptr, image, cmyk, -1, true, true, false, true, false,
                              false, progress, params);
    if (ExpectFailure(row)) {
        EXPECT_TRUE(aborting);
        return;
    }
    ASSERT_FALSE(aborting);
    ASSERT_EQ(rows, image.Height());
    auto reference = test::ReferenceDecode(MORVANE_CORPUS_DIR, MORVANE_REFERENCE_DIR, row.File, cmyk);
    ASSERT_TRUE(reference) << "no reference decode";
    ASSERT_EQ(image.Width(), reference->Width);
    ASSERT_EQ(image.Height(), reference->Height);
    ASSERT_EQ(image.PixelFormat(), cmyk ? pfCMYK : pf24RGB);
    ASSERT_EQ(reference->Depth, cmyk ? 4 : 3);
    int mismatches = 0;
    for (int y = 0; y < image.Height() && mismatches < 5; ++y) {
        const uint8_t* ours = image.RowPointer(y);
        for (int x = 0; x < image.Width() && mismatches < 5; ++x) {
            const uint8_t* ref = reference->Pixel(x, y);
            bool same = cmyk
                            // pfCMYK keeps the stored (inverted) inks; the reference has the inks.
                            ? ours[4 * x] == 255 - ref[0] && ours[4 * x + 1] == 255 - ref[1] &&
                                  ours[4 * x + 2] == 255 - ref[2] && ours[4 * x + 3] == 255 - ref[3]
                            : ours[3 * x] == ref[2] && ours[3 * x + 1] == ref[1] &&
                                  ours[3 * x + 2] == ref[0];
            if (!same) {
                ADD_FAILURE() << "pixel " << x << "," << y << " differs";
                ++mismatches;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, JpegCorpus, testing::ValuesIn(JpegRows()),
                         [](const testing::TestParamInfo<ManifestRow>& info) {
                             return test::CaseNameOf(info.param.File);
                         });

TEST(JpegCorpusManifest, ListsTheJpegFiles) { EXPECT_GE(JpegRows().size(), 40u); }

}  // namespace
}  // namespace morvane
