#include <gtest/gtest.h>

#include "colorconv.h"
#include "imagingdefs.h"

namespace morvane {
namespace {

TEST(GrayLevel, PrimariesAndWhite) {
    EXPECT_EQ(GrayOf(255, 0, 0), 53);
    EXPECT_EQ(GrayOf(0, 255, 0), 181);
    EXPECT_EQ(GrayOf(0, 0, 255), 20);
    EXPECT_EQ(GrayOf(255, 255, 255), 255);
    EXPECT_EQ(Gray16Of8(255, 255, 255), 65535);
}

TEST(ColorFormulas, CmykBlackWhiteAndLabWhite) {
    EXPECT_EQ(RGBToCMYKFormula(0, 0, 0), (TCMYKBytes{0, 0, 0, 1}));
    EXPECT_EQ(RGBToCMYKFormula(255, 255, 255), (TCMYKBytes{255, 255, 255, 255}));
    EXPECT_EQ(RGBToCIELab({255, 255, 255}), (TLabBytes{250, 0, 0}));
    TBGRTriple back = CIELabToRGB(250, 0, 0);
    EXPECT_LT(back.rgbtRed, 255);
    EXPECT_EQ(back.rgbtRed, back.rgbtGreen);
}

}  // namespace
}  // namespace morvane
