#pragma once

#include <cstdint>

#include "imagingdefs.h"

namespace morvane {

// The stored pfCMYK bytes (inverted inks C', M', Y', K').
struct TCMYKBytes {
    uint8_t c = 0, m = 0, y = 0, k = 0;
    friend bool operator==(const TCMYKBytes&, const TCMYKBytes&) = default;
};

// The stored pfCIELab bytes: L*2.5, then a* and b* as signed bytes.
struct TLabBytes {
    uint8_t L = 0;
    int8_t a = 0, b = 0;
    friend bool operator==(const TLabBytes&, const TLabBytes&) = default;
};

// Process-wide switch, true at start; set before the first CMYK conversion.
inline bool CMYKColorManagement = true;

// CMYK through the colour-managed transforms when they are usable, else the formulas.
TCMYKBytes RGBToCMYK(uint8_t r, uint8_t g, uint8_t b);
TBGRTriple CMYKToRGB(uint8_t c, uint8_t m, uint8_t y, uint8_t k);
inline TBGRTriple CMYKToRGB(TCMYKBytes v) { return CMYKToRGB(v.c, v.m, v.y, v.k); }

// The formulas alone (no colour management).
TCMYKBytes RGBToCMYKFormula(uint8_t r, uint8_t g, uint8_t b);
TBGRTriple CMYKToRGBFormula(uint8_t c, uint8_t m, uint8_t y, uint8_t k);

// Whole rows of `count` pixels in one call, with output identical to the per-colour
// functions above: `bgr` holds blue, green, red bytes per pixel (pf24RGB order), `cmyk`
// the stored pfCMYK bytes. Source and destination must not overlap.
void RGBToCMYKRow(const uint8_t* bgr, uint8_t* cmyk, int count);
void CMYKToRGBRow(const uint8_t* cmyk, uint8_t* bgr, int count);

// Whether CMYK conversions currently go through the colour-managed transforms: false while
// CMYKColorManagement is off. The first call with the switch on builds the transforms
// (thread-safe); whether that worked is remembered for the rest of the process.
bool CMYKTransformsUsable();

TLabBytes RGBToCIELab(TBGRTriple rgb);
TBGRTriple CIELabToRGB(uint8_t L, int8_t a, int8_t b);
inline TBGRTriple CIELabToRGB(TLabBytes v) { return CIELabToRGB(v.L, v.a, v.b); }

TBGRTriple YCbCrToRGB(uint8_t y, uint8_t cb, uint8_t cr);

// Grey levels at 16 bits and in floating point, from 8- and 16-bit channels.
inline uint16_t Gray16Of8(int r, int g, int b) {
    return uint16_t((int64_t(r) * 54484 + int64_t(g) * 183241 + int64_t(b) * 19275) / 1000);
}
inline uint16_t Gray16Of16(int r, int g, int b) {
    return uint16_t((int64_t(r) * 212 + int64_t(g) * 713 + int64_t(b) * 75) / 1000);
}
inline float GrayFloatOf8(int r, int g, int b) {
    return float((0.2126 * r + 0.7152 * g + 0.0722 * b) / 255.0);
}
inline float GrayFloatOf16(int r, int g, int b) {
    return float((0.2126 * (r / 256.0) + 0.7152 * (g / 256.0) + 0.0722 * (b / 256.0)) / 255.0);
}

}  // namespace morvane
