#include "colorconv.h"

#include <lcms2.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <mutex>
#include <vector>

namespace morvane {

namespace detail {
// The zlib-compressed CMYK output profile, generated from data/ at build time.
extern const unsigned char kCmykProfileDeflated[];
extern const std::size_t kCmykProfileDeflatedSize;
}  // namespace detail

TCMYKBytes RGBToCMYKFormula(uint8_t r, uint8_t g, uint8_t b) {
    int k = std::max({int(r), int(g), int(b)});
    if (k == 0) k = 1;
    return {uint8_t(r * 255 / k), uint8_t(g * 255 / k), uint8_t(b * 255 / k), uint8_t(k)};
}

TBGRTriple CMYKToRGBFormula(uint8_t c, uint8_t m, uint8_t y, uint8_t k) {
    return {uint8_t(y * k / 255), uint8_t(m * k / 255), uint8_t(c * k / 255)};
}

namespace {

// The two process-wide transforms between the embedded CMYK profile and sRGB. Built once,
// never released (they live as long as the process), and only read after building:
// cmsDoTransform keeps its one-pixel cache in locals, so concurrent use is safe.
struct CmykTransforms {
    cmsHTRANSFORM toRGB = nullptr;   // CMYK -> sRGB
    cmsHTRANSFORM toCMYK = nullptr;  // sRGB -> CMYK
    bool usable = false;
};

// Far beyond any output profile; a larger inflated size means corrupt data.
constexpr size_t kMaxProfileBytes = size_t(16) << 20;

std::vector<uint8_t> InflateProfile() {
    std::vector<uint8_t> out;
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return out;
    zs.next_in = const_cast<Bytef*>(detail::kCmykProfileDeflated);
    zs.avail_in = uInt(detail::kCmykProfileDeflatedSize);
    int status = Z_OK;
    while (status == Z_OK) {
        size_t done = out.size();
        if (done >= kMaxProfileBytes) break;
        out.resize(done + 65536);
        zs.next_out = out.data() + done;
        zs.avail_out = 65536;
        status = inflate(&zs, Z_NO_FLUSH);
        out.resize(done + (65536 - zs.avail_out));
    }
    inflateEnd(&zs);
    if (status != Z_STREAM_END) out.clear();
    return out;
}

void BuildTransforms(CmykTransforms& t) {
    std::vector<uint8_t> icc = InflateProfile();
    if (icc.empty()) return;
    cmsHPROFILE cmyk = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
    if (!cmyk) return;
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    if (srgb) {
        // Perceptual both ways; HIGHRESPRECALC stands for the platform's best-quality mode.
        t.toRGB = cmsCreateTransform(cmyk, TYPE_CMYK_16, srgb, TYPE_RGB_16, INTENT_PERCEPTUAL,
                                     cmsFLAGS_HIGHRESPRECALC);
        t.toCMYK = cmsCreateTransform(srgb, TYPE_RGB_16, cmyk, TYPE_CMYK_16, INTENT_PERCEPTUAL,
                                      cmsFLAGS_HIGHRESPRECALC);
        cmsCloseProfile(srgb);
    }
    cmsCloseProfile(cmyk);
    if (t.toRGB && t.toCMYK) {
        t.usable = true;
        return;
    }
    if (t.toRGB) cmsDeleteTransform(t.toRGB);
    if (t.toCMYK) cmsDeleteTransform(t.toCMYK);
    t.toRGB = t.toCMYK = nullptr;
}

const CmykTransforms* ManagedTransforms() {
    if (!CMYKColorManagement) return nullptr;
    static CmykTransforms transforms;
    static std::once_flag once;
    std::call_once(once, [] { BuildTransforms(transforms); });
    return transforms.usable ? &transforms : nullptr;
}

}  // namespace

bool CMYKTransformsUsable() { return ManagedTransforms() != nullptr; }

namespace {

// 16-bit channel words for one transform call: on the stack for single colours and short
// runs, on the heap for whole rows.
class WordBuffer {
public:
    explicit WordBuffer(size_t words) {
        if (words > m_small.size()) {
            m_large.resize(words);
            m_data = m_large.data();
        }
    }
    uint16_t* data() { return m_data; }
    uint16_t& operator[](size_t i) { return m_data[i]; }

private:
    std::array<uint16_t, 256> m_small;
    std::vector<uint16_t> m_large;
    uint16_t* m_data = m_small.data();
};

}  // namespace

// Colours cross the transforms as 16-bit words: c * 257 in, w >> 8 out; on the CMYK side
// the words are ink amounts (0 = no ink), the inverse of the stored bytes.
void RGBToCMYKRow(const uint8_t* bgr, uint8_t* cmyk, int count) {
    if (count <= 0) return;
    const CmykTransforms* t = ManagedTransforms();
    if (!t) {
        for (int i = 0; i < count; ++i, bgr += 3, cmyk += 4) {
            TCMYKBytes v = RGBToCMYKFormula(bgr[2], bgr[1], bgr[0]);
            cmyk[0] = v.c, cmyk[1] = v.m, cmyk[2] = v.y, cmyk[3] = v.k;
        }
        return;
    }
    WordBuffer in(size_t(count) * 3), out(size_t(count) * 4);
    for (int i = 0; i < count; ++i) {
        in[3 * i] = uint16_t(bgr[3 * i + 2] * 257);
        in[3 * i + 1] = uint16_t(bgr[3 * i + 1] * 257);
        in[3 * i + 2] = uint16_t(bgr[3 * i] * 257);
    }
    cmsDoTransform(t->toCMYK, in.data(), out.data(), cmsUInt32Number(count));
    for (size_t i = 0; i < size_t(count) * 4; ++i) cmyk[i] = uint8_t(255 - (out[i] >> 8));
}

void CMYKToRGBRow(const uint8_t* cmyk, uint8_t* bgr, int count) {
    if (count <= 0) return;
    const CmykTransforms* t = ManagedTransforms();
    if (!t) {
        for (int i = 0; i < count; ++i, bgr += 3, cmyk += 4) {
            TBGRTriple v = CMYKToRGBFormula(cmyk[0], cmyk[1], cmyk[2], cmyk[3]);
            bgr[0] = v.rgbtBlue, bgr[1] = v.rgbtGreen, bgr[2] = v.rgbtRed;
        }
        return;
    }
    WordBuffer in(size_t(count) * 4), out(size_t(count) * 3);
    for (size_t i = 0; i < size_t(count) * 4; ++i) in[i] = uint16_t((255 - cmyk[i]) * 257);
    cmsDoTransform(t->toRGB, in.data(), out.data(), cmsUInt32Number(count));
    for (int i = 0; i < count; ++i) {
        bgr[3 * i] = uint8_t(out[3 * i + 2] >> 8);
        bgr[3 * i + 1] = uint8_t(out[3 * i + 1] >> 8);
        bgr[3 * i + 2] = uint8_t(out[3 * i] >> 8);
    }
}

TCMYKBytes RGBToCMYK(uint8_t r, uint8_t g, uint8_t b) {
    const uint8_t bgr[3] = {b, g, r};
    uint8_t cmyk[4];
    RGBToCMYKRow(bgr, cmyk, 1);
    return {cmyk[0], cmyk[1], cmyk[2], cmyk[3]};
}

TBGRTriple CMYKToRGB(uint8_t c, uint8_t m, uint8_t y, uint8_t k) {
    const uint8_t cmyk[4] = {c, m, y, k};
    uint8_t bgr[3];
    CMYKToRGBRow(cmyk, bgr, 1);
    return {bgr[0], bgr[1], bgr[2]};
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
