#pragma once

#include <cstdint>

namespace morvane {

// Stored numeric order matters: settings and files refer to these values by number.
enum TPixelFormatKind : int32_t {
    pfNoFormat = 0,
    pf1g = 1,       // 1 bit, leftmost pixel in the MSB, 1 = white
    pf8p = 2,       // palette index
    pf8g = 3,       // 8-bit grey
    pfGray16 = 4,   // 16-bit grey, little-endian
    pf24RGB = 5,    // bytes B, G, R
    pf32f = 6,      // float grey 0..1
    pfCMYK = 7,     // bytes 255-C, 255-M, 255-Y, 255-K
    pfRGB48 = 8,    // little-endian words R, G, B
    pfCIELab = 9,   // L*2.5, a*, b* (signed)
    pf32RGBX = 10,  // bytes B, G, R, X
};
inline constexpr int kPixelFormatCount = 11;

enum TLocationKind : int32_t {
    lkInMemory = 0,
    lkTempFile = 1,
    lkPlatformBitmap = 2,
};

enum TResampleFilter : int32_t {
    rfNone = 0,
    rfTriangle = 1,
    rfHermite = 2,
    rfBell = 3,
    rfBSpline = 4,
    rfLanczos3 = 5,
    rfMitchell = 6,
    rfNearest = 7,
    rfLinear = 8,
    rfFastLinear = 9,
    rfBilinear = 10,
    rfBicubic = 11,
    rfProjectBW = 12,
    rfProjectWB = 13,
};
inline constexpr int kResampleFilterCount = 14;

enum TMonoMethod : uint8_t {
    mmOrderedDither = 0,
    mmThreshold = 1,
};

enum TFlipDirection : uint8_t {
    fdHorizontal = 0,
    fdVertical = 1,
};

// A colour as stored by pf24RGB pixels and palettes.
struct TBGRTriple {
    uint8_t rgbtBlue = 0;
    uint8_t rgbtGreen = 0;
    uint8_t rgbtRed = 0;
    friend bool operator==(const TBGRTriple&, const TBGRTriple&) = default;
};
static_assert(sizeof(TBGRTriple) == 3);

// One pfRGB48 pixel; note the channel order differs from TBGRTriple.
struct TRGB48Pixel {
    uint16_t r = 0;
    uint16_t g = 0;
    uint16_t b = 0;
    friend bool operator==(const TRGB48Pixel&, const TRGB48Pixel&) = default;
};
static_assert(sizeof(TRGB48Pixel) == 6);

// A colour as files store it: red, green, blue.
struct TRGB {
    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;
    friend bool operator==(const TRGB&, const TRGB&) = default;
};
static_assert(sizeof(TRGB) == 3);

// A platform colour value: red in the low byte, green, then blue in the third byte.
using TColor = uint32_t;
constexpr TColor MakeColor(uint8_t r, uint8_t g, uint8_t b) {
    return TColor(r) | (TColor(g) << 8) | (TColor(b) << 16);
}
constexpr uint8_t ColorRed(TColor c) { return uint8_t(c & 0xFF); }
constexpr uint8_t ColorGreen(TColor c) { return uint8_t((c >> 8) & 0xFF); }
constexpr uint8_t ColorBlue(TColor c) { return uint8_t((c >> 16) & 0xFF); }
constexpr TBGRTriple ColorToBGR(TColor c) { return {ColorBlue(c), ColorGreen(c), ColorRed(c)}; }
constexpr TColor BGRToColor(TBGRTriple t) { return MakeColor(t.rgbtRed, t.rgbtGreen, t.rgbtBlue); }

// Process-wide grey weights, set at start-up and only read afterwards.
struct TGrayWeights {
    int Red = 21;
    int Green = 71;
    int Blue = 8;
};
inline TGrayWeights gGrayWeights;

// Grey level of a colour: (R*21 + G*71 + B*8) div 100.
inline int GrayOf(int r, int g, int b) {
    return (r * gGrayWeights.Red + g * gGrayWeights.Green + b * gGrayWeights.Blue) / 100;
}
inline int GrayOf(TBGRTriple c) { return GrayOf(c.rgbtRed, c.rgbtGreen, c.rgbtBlue); }

}  // namespace morvane
