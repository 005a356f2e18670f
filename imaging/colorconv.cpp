#include "colorconv.h"

#include <algorithm>
#include <cmath>

namespace morvane {

TCMYKBytes RGBToCMYKFormula(uint8_t r, uint8_t g, uint8_t b) {
    int k = std::max({int(r), int(g), int(b)});
    if (k == 0) k = 1;
    return {uint8_t(r * 255 / k), uint8_t(g * 255 / k), uint8_t(b * 255 / k), uint8_t(k)};
}

TBGRTriple CMYKToRGBFormula(uint8_t c, uint8_t m, uint8_t y, uint8_t k) {
    return {uint8_t(y * k / 255), uint8_t(m * k / 255), uint8_t(c * k / 255)};
}

TCMYKBytes RGBToCMYK(uint8_t r, uint8_t g, uint8_t b) { return RGBToCMYKFormula(r, g, b); }

TBGRTriple CMYKToRGB(uint8_t c, uint8_t m, uint8_t y, uint8_t k) {
    return CMYKToRGBFormula(c, m, y, k);
}

namespace {

double Linearise(double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }
double LabF(double t) { return t <= 0.008856 ? 7.787 * t + 16.0 / 116.0 : std::cbrt(t); }
double LabInverse(double t) {
    double t3 = t * t * t;
    return t3 > 0.008856 ? t3 : (t - 0.13793103448) / 7.787;
}
uint8_t GammaByte(double v) {
    v = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
    double scaled = std::nearbyint(v * 255.0);  // ties to even in the default rounding mode
    return uint8_t(std::clamp(scaled, 0.0, 255.0));
}
uint8_t ClampByte(double v) { return uint8_t(std::clamp(std::trunc(v), 0.0, 255.0)); }

}  // namespace

TLabBytes RGBToCIELab(TBGRTriple rgb) {
    double r = Linearise(rgb.rgbtRed / 255.0);
    double g = Linearise(rgb.rgbtGreen / 255.0);
    double b = Linearise(rgb.rgbtBlue / 255.0);
    double x = (0.412453 * r + 0.35758 * g + 0.180423 * b) / 0.95047;
    double y = 0.212671 * r + 0.71516 * g + 0.072169 * b;
    double z = (0.019334 * r + 0.119193 * g + 0.950227 * b) / 1.088883;
    double fx = LabF(x), fy = LabF(y), fz = LabF(z);
    double L = y <= 0.008856 ? 903.3 * y : 116.0 * fy - 16.0;
    double a = 500.0 * (fx - fy);
    double bb = 200.0 * (fy - fz);
    return {uint8_t(int(std::trunc(L * 2.5))), int8_t(int(std::trunc(a))),
            int8_t(int(std::trunc(bb)))};
}

TBGRTriple CIELabToRGB(uint8_t L, int8_t a, int8_t b) {
    double fy = (L * 0.39215686275 + 16.0) / 116.0;
    double fx = fy + a / 500.0;
    double fz = fy - b / 200.0;
    double x = 0.95047 * LabInverse(fx);
    double y = LabInverse(fy);
    double z = 1.08883 * LabInverse(fz);
    double r = 3.2406 * x - 1.5372 * y - 0.4986 * z;
    double g = -0.9689 * x + 1.8758 * y + 0.0415 * z;
    double bl = 0.0557 * x - 0.204 * y + 1.057 * z;
    return {GammaByte(bl), GammaByte(g), GammaByte(r)};
}

TBGRTriple YCbCrToRGB(uint8_t y, uint8_t cb, uint8_t cr) {
    double r = y + 1.402 * (cr - 128);
    double g = y - 0.34414 * (cb - 128) - 0.71414 * (cr - 128);
    double b = y + 1.772 * (cb - 128);
    return {ClampByte(b), ClampByte(g), ClampByte(r)};
}

}  // namespace morvane
