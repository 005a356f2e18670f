// The resampling engine: one descriptor row per filter, five families of algorithms.
//
// Every path keeps the fixed-point arithmetic the filters are defined with (8-bit integer
// weights, 17-bit fractions, double areas); the speed comes from doing the per-axis work
// (contribution lists, column tables) once and running the per-pixel loops over plain
// arrays the compiler can vectorise.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "imageproc.h"

namespace morvane {
namespace {

// ---------------------------------------------------------------------------------------
// Filter descriptors

enum class Family : uint8_t { Nearest, Convolution, FastLinear, ExactArea, Projection };
enum class Variant : uint8_t { None, Bilinear, Bicubic, DarkWins, LightWins };

double TriangleKernel(double x) {
    double t = std::fabs(x);
    return t < 1.0 ? 1.0 - t : 0.0;
}
double HermiteKernel(double x) {
    double t = std::fabs(x);
    return t < 1.0 ? (2.0 * t - 3.0) * t * t + 1.0 : 0.0;
}
double BellKernel(double x) {
    double t = std::fabs(x);
    if (t < 0.5) return 0.75 - t * t;
    if (t < 1.5) return 0.5 * (t - 1.5) * (t - 1.5);
    return 0.0;
}
double BSplineKernel(double x) {
    double t = std::fabs(x);
    if (t < 1.0) return 0.5 * t * t * t - t * t + 2.0 / 3.0;
    if (t < 2.0) return (2.0 - t) * (2.0 - t) * (2.0 - t) / 6.0;
    return 0.0;
}
double Sinc(double u) {
    if (u == 0.0) return 1.0;
    u *= M_PI;
    return std::sin(u) / u;
}
double Lanczos3Kernel(double x) {
    double t = std::fabs(x);
    return t < 3.0 ? Sinc(t) * Sinc(t / 3.0) : 0.0;
}
double MitchellKernel(double x) {
    // B = C = 1/3
    double t = std::fabs(x);
    double t2 = t * t, t3 = t2 * t;
    if (t < 1.0) return (7.0 * t3 - 12.0 * t2 + 16.0 / 3.0) / 6.0;
    if (t < 2.0) return (-(7.0 / 3.0) * t3 + 12.0 * t2 - 20.0 * t + 32.0 / 3.0) / 6.0;
    return 0.0;
}
double NearestKernel(double x) { return (x > -0.5 && x <= 0.5) ? 1.0 : 0.0; }
double LinearKernel(double x) {
    if (x >= 0.0 && x < 1.0) return 1.0 - x;
    if (x >= -1.0 && x < 0.0) return 1.0 + x;
    return 0.0;
}

struct FilterDescriptor {
    TResampleFilter Filter;
    Family Kind;
    double Support;            // convolution only
    double (*Kernel)(double);  // convolution only
    Variant Detail;
};

constexpr FilterDescriptor kFilters[kResampleFilterCount] = {
    {rfNone, Family::Nearest, 0.0, nullptr, Variant::None},
    {rfTriangle, Family::Convolution, 1.0, TriangleKernel, Variant::None},
    {rfHermite, Family::Convolution, 1.0, HermiteKernel, Variant::None},
    {rfBell, Family::Convolution, 1.5, BellKernel, Variant::None},
    {rfBSpline, Family::Convolution, 2.0, BSplineKernel, Variant::None},
    {rfLanczos3, Family::Convolution, 3.0, Lanczos3Kernel, Variant::None},
    {rfMitchell, Family::Convolution, 2.0, MitchellKernel, Variant::None},
    {rfNearest, Family::Convolution, 1.0, NearestKernel, Variant::None},
    {rfLinear, Family::Convolution, 1.0, LinearKernel, Variant::None},
    {rfFastLinear, Family::FastLinear, 0.0, nullptr, Variant::None},
    {rfBilinear, Family::ExactArea, 0.0, nullptr, Variant::Bilinear},
    {rfBicubic, Family::ExactArea, 0.0, nullptr, Variant::Bicubic},
    {rfProjectBW, Family::Projection, 0.0, nullptr, Variant::DarkWins},
    {rfProjectWB, Family::Projection, 0.0, nullptr, Variant::LightWins},
};

const FilterDescriptor& DescriptorOf(TResampleFilter filter) {
    int index = int(filter);
    if (index < 0 || index >= kResampleFilterCount) index = rfNone;
    return kFilters[index];
}

// ---------------------------------------------------------------------------------------
// Small helpers

// Reports a percentage 0..100, either every time or only when it changed.
class Progress {
public:
    explicit Progress(const ResampleProgress& fn) : m_fn(fn) {}
    void Report(int percent) {
        if (m_fn) m_fn(std::clamp(percent, 0, 100));
    }
    void ReportChanged(int percent) {
        percent = std::clamp(percent, 0, 100);
        if (percent == m_last) return;
        m_last = percent;
        if (m_fn) m_fn(percent);
    }

private:
    const ResampleProgress& m_fn;
    int m_last = -1;
};

// Sets a buffer's RowAccess for the time of a pass and restores it.
class RowAccessScope {
public:
    RowAccessScope(TImageBuffer& buffer, uint8_t access) : m_buffer(buffer), m_saved(buffer.RowAccess) {
        buffer.RowAccess = access;
    }
    ~RowAccessScope() { m_buffer.RowAccess = m_saved; }
    RowAccessScope(const RowAccessScope&) = delete;
    RowAccessScope& operator=(const RowAccessScope&) = delete;

private:
    TImageBuffer& m_buffer;
    uint8_t m_saved;
};

inline bool BitAt(const uint8_t* row, int x) { return (row[x >> 3] & (0x80 >> (x & 7))) != 0; }

// Unpacks a pf1g row into 0/255 samples.
void UnpackBits(const uint8_t* row, int width, uint8_t* out) {
    for (int x = 0; x < width; ++x) out[x] = BitAt(row, x) ? 255 : 0;
}

// floor(n / d) for 0 <= n < 256 * d, exact as long as 0 < d < kFastDivisorLimit:
// (n + 0.5) / d lies at least 0.5 / d away from an integer, and the float product errs
// by less than 256 * 2^-23.
constexpr int kFastDivisorLimit = 16000;

inline uint8_t ClampByte(int64_t v) { return uint8_t(std::clamp<int64_t>(v, 0, 255)); }

// Writes a one-channel row as grey pf24RGB.
void WriteGreyAsBGR(const uint8_t* grey, int width, uint8_t* out) {
    for (int x = 0; x < width; ++x) {
        out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = grey[x];
    }
}

// ---------------------------------------------------------------------------------------
// Nearest copy (rfNone)

template <int kBytes>
void CopyPixels(const uint8_t* src, uint8_t* dst, const int32_t* cols, int width) {
    for (int k = 0; k < width; ++k) std::memcpy(dst + k * kBytes, src + cols[k] * kBytes, kBytes);
}

void NearestCopy(TImageBuffer& src, TImageBuffer& dst, Progress& progress) {
    const int sw = src.Width(), sh = src.Height();
    const int dw = dst.Width(), dh = dst.Height();
    const double xStep = double(sw) / dw, yStep = double(sh) / dh;
    std::vector<int32_t> cols(static_cast<size_t>(dw));
    for (int k = 0; k < dw; ++k) cols[size_t(k)] = std::clamp(int(k * xStep), 0, sw - 1);

    RowAccessScope readOnly(src, 1), writeOnly(dst, 2);
    const int bits = src.BitCount();
    for (int j = 0; j < dh; ++j) {
        int sy = std::clamp(int(yStep * j), 0, sh - 1);
        const uint8_t* in = src.RowPointer(sy);
        uint8_t* out = dst.RowPointer(j);
        switch (bits) {
            case 1:
                std::memset(out, 0, size_t(dst.RowLen()));
                for (int k = 0; k < dw; ++k) {
                    if (BitAt(in, cols[size_t(k)])) out[k >> 3] |= uint8_t(0x80 >> (k & 7));
                }
                break;
            case 8: CopyPixels<1>(in, out, cols.data(), dw); break;
            case 16: CopyPixels<2>(in, out, cols.data(), dw); break;
            case 24: CopyPixels<3>(in, out, cols.data(), dw); break;
            case 32: CopyPixels<4>(in, out, cols.data(), dw); break;
            case 48: CopyPixels<6>(in, out, cols.data(), dw); break;
            default: break;
        }
        progress.ReportChanged(int(j * 100 / (dh + 0.5)));
    }
}

// ---------------------------------------------------------------------------------------
// Separable convolution (filters 1 to 8)

// Contribution lists of one axis. Every output index gets the same number of taps over
// a contiguous run of an "extended" axis: the source axis with mirrored samples added on
// both sides, so that edge lists need no index table in the inner loop. Taps whose weight
// rounded to 0 (or that only pad a list to the common length) carry weight 0 and change
// neither the sum nor the weight total.
struct AxisContributions {
    int Taps = 0;
    int Pad = 0;                    // extended index = source index + Pad
    std::vector<int32_t> Source;    // extended index -> source index
    std::vector<int32_t> Start;     // per output: first extended index
    std::vector<int16_t> Weights;   // per output: Taps weights
    std::vector<int32_t> Total;     // per output: sum of the weights
    std::vector<int32_t> Limit;     // per output: 256 * Total - 1 (fast division)
    std::vector<float> Reciprocal;  // per output: 1 / Total (fast division)
};

int MirrorIndex(int64_t n, int size) {
    if (n < 0) {
        n = -n;
    } else if (n >= size) {
        n = 2 * int64_t(size) - 1 - n;
    }
    return int(std::clamp<int64_t>(n, 0, size - 1));
}

AxisContributions BuildContributions(int srcSize, int dstSize, const FilterDescriptor& f) {
    // Corner-aligned mapping: destination index i is centred on source position i / s.
    const double s = (srcSize == 1 || dstSize == 1) ? double(dstSize) / srcSize
                                                     : double(dstSize - 1) / (srcSize - 1);
    struct Entry {
        int64_t n;
        int32_t w;
    };
    std::vector<Entry> entries;
    std::vector<size_t> first(static_cast<size_t>(dstSize) + 1);
    const double width = 1.0 / s;
    const double radius = s >= 1.0 ? f.Support : f.Support / s;
    for (int i = 0; i < dstSize; ++i) {
        first[size_t(i)] = entries.size();
        const double c = i / s;
        const int64_t lo = int64_t(std::floor(c - radius));
        const int64_t hi = int64_t(std::ceil(c + radius));
        for (int64_t n = lo; n <= hi; ++n) {
            double w = s >= 1.0 ? std::nearbyint(f.Kernel(c - double(n)) * 256.0)
                                : std::nearbyint(f.Kernel((c - double(n)) / width) * 256.0 / width);
            if (w != 0.0) entries.push_back({n, int32_t(w)});
        }
        // A list whose weights all rounded to 0 (reductions beyond 512:1) or cancel out
        // would give black, or white for a negative total, whatever the image holds; the
        // source pixel at the centre stands in for it.
        int64_t total = 0;
        for (size_t k = first[size_t(i)]; k < entries.size(); ++k) total += entries[k].w;
        if (total <= 0) {
            entries.resize(first[size_t(i)]);
            entries.push_back({int64_t(std::nearbyint(c)), 256});
        }
    }
    first[size_t(dstSize)] = entries.size();

    AxisContributions a;
    int64_t minN = 0, maxSpan = 0;
    for (int i = 0; i < dstSize; ++i) {
        size_t b = first[size_t(i)], e = first[size_t(i) + 1];
        if (b == e) continue;
        minN = std::min(minN, entries[b].n);
        maxSpan = std::max(maxSpan, entries[e - 1].n - entries[b].n + 1);
    }
    a.Pad = int(-minN);
    // Pad the tap count to a multiple of 8 so that the dot products run in whole vectors.
    a.Taps = int((maxSpan + 7) / 8 * 8);
    a.Start.assign(size_t(dstSize), a.Pad);
    a.Weights.assign(size_t(dstSize) * size_t(a.Taps), 0);
    a.Total.assign(size_t(dstSize), 0);
    a.Limit.assign(size_t(dstSize), 0);
    a.Reciprocal.assign(size_t(dstSize), 0.0f);
    int64_t extLen = int64_t(srcSize) + a.Pad;
    for (int i = 0; i < dstSize; ++i) {
        size_t b = first[size_t(i)], e = first[size_t(i) + 1];
        int32_t total = 0;
        if (b != e) {
            int64_t start = entries[b].n + a.Pad;
            a.Start[size_t(i)] = int32_t(start);
            for (size_t k = b; k < e; ++k) {
                a.Weights[size_t(i) * size_t(a.Taps) + size_t(entries[k].n + a.Pad - start)] =
                    int16_t(entries[k].w);
                total += entries[k].w;
            }
        }
        extLen = std::max(extLen, int64_t(a.Start[size_t(i)]) + a.Taps);
        a.Total[size_t(i)] = total;
        if (total > 0 && total < kFastDivisorLimit) {
            a.Limit[size_t(i)] = 256 * total - 1;
            a.Reciprocal[size_t(i)] = 1.0f / float(total);
        }
    }
    a.Source.resize(size_t(extLen));
    for (int64_t p = 0; p < extLen; ++p) a.Source[size_t(p)] = MirrorIndex(p - a.Pad, srcSize);
    return a;
}

// (sum of weight * sample) div (sum of weights), clamped; a zero weight total takes the
// sum as an unsigned 32-bit value shifted right by 8.
inline uint8_t NormaliseGeneral(int32_t sum, int32_t total) {
    if (total == 0) return uint8_t(std::min<uint32_t>(uint32_t(sum) >> 8, 255u));
    return ClampByte(sum / total);
}

inline uint8_t NormaliseFast(int32_t sum, int32_t limit, float reciprocal) {
    int32_t v = std::clamp(sum, 0, limit);
    return uint8_t(int32_t((float(v) + 0.5f) * reciprocal));
}

inline int32_t Dot(const int16_t* __restrict w, const int16_t* __restrict p, int n) {
    int32_t acc = 0;
    for (int k = 0; k < n; ++k) acc += int32_t(w[k]) * int32_t(p[k]);
    return acc;
}

// Reads one source row as `kChannels` planes of int16 samples over the extended axis,
// then runs every destination column's dot product and normalises the row in one go.
template <int kChannels>
class HorizontalPass {
public:
    HorizontalPass(const AxisContributions& axis, int dstWidth)
        : m_axis(axis), m_dstWidth(dstWidth), m_len(axis.Source.size()),
          m_planes(m_len * kChannels), m_sums(size_t(dstWidth) * kChannels),
          m_limit(size_t(dstWidth) * kChannels), m_reciprocal(size_t(dstWidth) * kChannels),
          m_total(size_t(dstWidth) * kChannels) {
        // The per-column divisors repeated for each channel, so the final loop runs
        // straight along the interleaved work row.
        for (int i = 0; i < dstWidth; ++i) {
            const int32_t total = axis.Total[size_t(i)];
            m_allFast = m_allFast && total > 0 && total < kFastDivisorLimit;
            for (int c = 0; c < kChannels; ++c) {
                const size_t k = size_t(i) * kChannels + size_t(c);
                m_limit[k] = axis.Limit[size_t(i)];
                m_reciprocal[k] = axis.Reciprocal[size_t(i)];
                m_total[k] = total;
            }
        }
    }

    // `interleaved` holds width * kChannels bytes; `out` receives dstWidth * kChannels.
    void Run(const uint8_t* __restrict interleaved, int width, uint8_t* __restrict out) {
        const size_t pad = size_t(m_axis.Pad);
        int16_t* __restrict plane[kChannels];
        for (int c = 0; c < kChannels; ++c) plane[c] = m_planes.data() + size_t(c) * m_len + pad;
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < kChannels; ++c) plane[c][x] = interleaved[x * kChannels + c];
        }
        for (int c = 0; c < kChannels; ++c) {
            int16_t* full = m_planes.data() + size_t(c) * m_len;
            for (size_t p = 0; p < pad; ++p) full[p] = full[pad + size_t(m_axis.Source[p])];
            for (size_t p = pad + size_t(width); p < m_len; ++p)
                full[p] = full[pad + size_t(m_axis.Source[p])];
        }

        const int taps = m_axis.Taps;
        int32_t* __restrict sums = m_sums.data();
        for (int i = 0; i < m_dstWidth; ++i) {
            const int16_t* w = m_axis.Weights.data() + size_t(i) * size_t(taps);
            const size_t start = size_t(m_axis.Start[size_t(i)]);
            for (int c = 0; c < kChannels; ++c) {
                sums[size_t(i) * kChannels + size_t(c)] =
                    Dot(w, m_planes.data() + size_t(c) * m_len + start, taps);
            }
        }

        const size_t n = m_sums.size();
        if (m_allFast) {
            for (size_t k = 0; k < n; ++k) out[k] = NormaliseFast(sums[k], m_limit[k], m_reciprocal[k]);
        } else {
            for (size_t k = 0; k < n; ++k) {
                const int32_t total = m_total[k];
                out[k] = total > 0 && total < kFastDivisorLimit
                             ? NormaliseFast(sums[k], m_limit[k], m_reciprocal[k])
                             : NormaliseGeneral(sums[k], total);
            }
        }
    }

private:
    const AxisContributions& m_axis;
    int m_dstWidth;
    size_t m_len;
    bool m_allFast = true;
    std::vector<int16_t> m_planes;
    std::vector<int32_t> m_sums;
    std::vector<int32_t> m_limit;
    std::vector<float> m_reciprocal;
    std::vector<int32_t> m_total;
};

// Vertical pass of one destination row: weighted sum of work rows, all columns at once.
void ConvolveColumns(const AxisContributions& a, int j, const std::vector<uint8_t>& work,
                     size_t workRowLen, std::vector<int32_t>& acc, uint8_t* out) {
    const size_t n = workRowLen;
    int32_t* __restrict sum = acc.data();
    std::fill(acc.begin(), acc.end(), 0);
    const int16_t* w = a.Weights.data() + size_t(j) * size_t(a.Taps);
    const int start = a.Start[size_t(j)];
    for (int k = 0; k < a.Taps; ++k) {
        const int32_t weight = w[k];
        if (weight == 0) continue;
        const uint8_t* __restrict row = work.data() + size_t(a.Source[size_t(start + k)]) * n;
        for (size_t x = 0; x < n; ++x) sum[x] += weight * int32_t(row[x]);
    }
    const int32_t total = a.Total[size_t(j)];
    if (total > 0 && total < kFastDivisorLimit) {
        const int32_t limit = a.Limit[size_t(j)];
        const float reciprocal = a.Reciprocal[size_t(j)];
        for (size_t x = 0; x < n; ++x) out[x] = NormaliseFast(sum[x], limit, reciprocal);
    } else {
        for (size_t x = 0; x < n; ++x) out[x] = NormaliseGeneral(sum[x], total);
    }
}

// Convolution of an 8-bit source with `channels` channels (1 for pf8g, alpha and pf1g,
// 3 for pf24RGB). `greyOut` writes the one-channel result as grey pf24RGB (pf1g sources).
void Convolve(TImageBuffer& src, TImageBuffer& dst, const FilterDescriptor& f, int channels,
              bool greyOut, Progress& progress) {
    const int sw = src.Width(), sh = src.Height();
    const int dw = dst.Width(), dh = dst.Height();
    const bool oneBit = src.PixelFormat() == pf1g;
    std::vector<uint8_t> line(size_t(sw) * size_t(channels));

    if (sw < 2 && sh < 2) {
        // A single pixel has nothing to filter: every destination pixel takes it.
        const uint8_t* in = src.RowPointer(0);
        uint8_t px[3] = {0, 0, 0};
        if (oneBit) {
            px[0] = BitAt(in, 0) ? 255 : 0;
        } else {
            std::memcpy(px, in, size_t(channels));
        }
        for (int j = 0; j < dh; ++j) {
            uint8_t* out = dst.RowPointer(j);
            for (int i = 0; i < dw; ++i) {
                if (greyOut) {
                    out[3 * i] = out[3 * i + 1] = out[3 * i + 2] = px[0];
                } else {
                    std::memcpy(out + size_t(i) * size_t(channels), px, size_t(channels));
                }
            }
        }
        return;
    }

    const AxisContributions horizontal = BuildContributions(sw, dw, f);
    const AxisContributions vertical = BuildContributions(sh, dh, f);
    const size_t workRowLen = size_t(dw) * size_t(channels);
    std::vector<uint8_t> work(workRowLen * size_t(sh));
    const double steps = sh + dh + 0.5;
    int step = 0;

    auto horizontalPass = [&]<int kChannels>() {
        HorizontalPass<kChannels> pass(horizontal, dw);
        for (int y = 0; y < sh; ++y) {
            const uint8_t* in = src.RowPointer(y);
            if (oneBit) {
                UnpackBits(in, sw, line.data());
                in = line.data();
            }
            pass.Run(in, sw, work.data() + size_t(y) * workRowLen);
            progress.ReportChanged(int(++step * 100 / steps));
        }
    };
    if (channels == 3) {
        horizontalPass.template operator()<3>();
    } else {
        horizontalPass.template operator()<1>();
    }

    std::vector<int32_t> acc(workRowLen);
    std::vector<uint8_t> grey(greyOut ? workRowLen : 0);
    for (int j = 0; j < dh; ++j) {
        if (greyOut) {
            ConvolveColumns(vertical, j, work, workRowLen, acc, grey.data());
            WriteGreyAsBGR(grey.data(), dw, dst.RowPointer(j));
        } else {
            ConvolveColumns(vertical, j, work, workRowLen, acc, dst.RowPointer(j));
        }
        progress.ReportChanged(int(++step * 100 / steps));
    }
}

// ---------------------------------------------------------------------------------------
// Fast linear / box (rfFastLinear, alpha buffers, pf8g for several filters)

constexpr int kFracBits = 17;
constexpr double kFracOne = 131072.0;

struct LinearAxis {
    std::vector<int32_t> X0, X1, Fraction;
    std::vector<float> Reciprocal;  // box paths: 1 / count
    bool Enlarge = false;
    bool FastBox = true;
};

// Column (or row) tables of one axis. `nudge` is the 1e-10 the column box ends get.
LinearAxis BuildLinearAxis(int srcSize, int dstSize, double nudge) {
    LinearAxis a;
    const double d = double(dstSize) / srcSize;
    a.Enlarge = d > 1.0;
    a.X0.resize(size_t(dstSize));
    a.X1.resize(size_t(dstSize));
    a.Fraction.resize(size_t(dstSize));
    a.Reciprocal.resize(size_t(dstSize));
    for (int i = 0; i < dstSize; ++i) {
        double pos = i / d;
        int x0 = std::clamp(int(pos), 0, srcSize - 1);
        a.X0[size_t(i)] = x0;
        a.Fraction[size_t(i)] = int32_t((pos - int(pos)) * kFracOne);
        int x1 = int(std::min(i + 1, dstSize - 1) / d + nudge);
        x1 = std::clamp(x1, x0, srcSize - 1);
        a.X1[size_t(i)] = x1;
        int count = x1 - x0 + 1;
        if (count >= kFastDivisorLimit) a.FastBox = false;
        a.Reciprocal[size_t(i)] = 1.0f / float(count);
    }
    return a;
}

// floor(sum / count) for 0 <= sum <= 255 * count.
inline uint8_t BoxMean(int64_t sum, int32_t count, float reciprocal, bool fast) {
    if (fast) return uint8_t(int32_t((float(sum) + 0.5f) * reciprocal));
    return uint8_t(sum / count);
}

inline int32_t Lerp17(int32_t a, int32_t b, int32_t f) { return a + (((b - a) * f) >> kFracBits); }

template <int kChannels>
void FastLinearRow(const LinearAxis& a, const uint8_t* in, int srcWidth, int dstWidth,
                   uint8_t* out) {
    for (int i = 0; i < dstWidth; ++i) {
        const int x0 = a.X0[size_t(i)];
        if (a.Enlarge) {
            const int x1 = std::min(x0 + 1, srcWidth - 1);
            const int32_t f = a.Fraction[size_t(i)];
            for (int c = 0; c < kChannels; ++c) {
                out[i * kChannels + c] =
                    uint8_t(Lerp17(in[x0 * kChannels + c], in[x1 * kChannels + c], f));
            }
        } else {
            const int x1 = a.X1[size_t(i)];
            int32_t sum[kChannels] = {};
            for (int x = x0; x <= x1; ++x) {
                for (int c = 0; c < kChannels; ++c) sum[c] += in[x * kChannels + c];
            }
            for (int c = 0; c < kChannels; ++c) {
                out[i * kChannels + c] = BoxMean(sum[c], x1 - x0 + 1, a.Reciprocal[size_t(i)], a.FastBox);
            }
        }
    }
}

void FastLinear(TImageBuffer& src, TImageBuffer& dst, int channels, Progress& progress) {
    const int sw = src.Width(), sh = src.Height();
    const int dw = dst.Width(), dh = dst.Height();
    const size_t rowBytes = size_t(sw) * size_t(channels);
    if (sw == dw && sh == dh) {
        for (int y = 0; y < sh; ++y) std::memcpy(dst.RowPointer(y), src.RowPointer(y), rowBytes);
        return;
    }
    const LinearAxis h = BuildLinearAxis(sw, dw, 1e-10);
    const LinearAxis v = BuildLinearAxis(sh, dh, 0.0);
    const size_t workRowLen = size_t(dw) * size_t(channels);
    std::vector<uint8_t> work(workRowLen * size_t(sh));
    const double perRow = 100.0 / (sh + dh + 0.5);

    for (int y = 0; y < sh; ++y) {
        const uint8_t* in = src.RowPointer(y);
        uint8_t* out = work.data() + size_t(y) * workRowLen;
        if (channels == 3) {
            FastLinearRow<3>(h, in, sw, dw, out);
        } else {
            FastLinearRow<1>(h, in, sw, dw, out);
        }
        progress.Report(int(perRow * y));
    }

    std::vector<int32_t> acc(workRowLen);
    for (int j = 0; j < dh; ++j) {
        uint8_t* __restrict out = dst.RowPointer(j);
        const int y0 = v.X0[size_t(j)];
        if (v.Enlarge) {
            const uint8_t* __restrict a = work.data() + size_t(y0) * workRowLen;
            const uint8_t* __restrict b = work.data() + size_t(std::min(y0 + 1, sh - 1)) * workRowLen;
            const int32_t f = v.Fraction[size_t(j)];
            for (size_t x = 0; x < workRowLen; ++x) out[x] = uint8_t(Lerp17(a[x], b[x], f));
        } else {
            const int y1 = v.X1[size_t(j)];
            int32_t* __restrict sum = acc.data();
            std::fill(acc.begin(), acc.end(), 0);
            for (int y = y0; y <= y1; ++y) {
                const uint8_t* __restrict row = work.data() + size_t(y) * workRowLen;
                for (size_t x = 0; x < workRowLen; ++x) sum[x] += row[x];
            }
            const int32_t count = y1 - y0 + 1;
            const float reciprocal = v.Reciprocal[size_t(j)];
            if (v.FastBox) {
                for (size_t x = 0; x < workRowLen; ++x)
                    out[x] = uint8_t(int32_t((float(sum[x]) + 0.5f) * reciprocal));
            } else {
                for (size_t x = 0; x < workRowLen; ++x) out[x] = uint8_t(sum[x] / count);
            }
        }
        progress.Report(int(perRow * (sh + j)));
    }
}

// The 1-bit version: bits read as 0 or 255, grey pf24RGB written.
void FastLinear1Bit(TImageBuffer& src, TImageBuffer& dst, Progress& progress) {
    const int sw = src.Width(), sh = src.Height();
    const int dw = dst.Width(), dh = dst.Height();
    const double dx = double(dw) / sw, dy = double(dh) / sh;
    std::vector<uint8_t> line(static_cast<size_t>(sw));
    std::vector<uint8_t> grey(static_cast<size_t>(dw));

    if (dx >= 1.0 || dy >= 1.0) {
        // Linear in both passes, whichever axis shrinks.
        const LinearAxis h = BuildLinearAxis(sw, dw, 1e-10);
        const LinearAxis v = BuildLinearAxis(sh, dh, 0.0);
        std::vector<uint8_t> work(size_t(dw) * size_t(sh));
        const double perRow = 100.0 / (sh + dh + 0.5);
        for (int y = 0; y < sh; ++y) {
            UnpackBits(src.RowPointer(y), sw, line.data());
            uint8_t* out = work.data() + size_t(y) * size_t(dw);
            for (int i = 0; i < dw; ++i) {
                const int x0 = h.X0[size_t(i)];
                const int x1 = std::min(x0 + 1, sw - 1);
                out[i] = uint8_t(Lerp17(line[size_t(x0)], line[size_t(x1)], h.Fraction[size_t(i)]));
            }
            progress.Report(int(perRow * y));
        }
        for (int j = 0; j < dh; ++j) {
            const int y0 = v.X0[size_t(j)];
            const uint8_t* a = work.data() + size_t(y0) * size_t(dw);
            const uint8_t* b = work.data() + size_t(std::min(y0 + 1, sh - 1)) * size_t(dw);
            const int32_t f = v.Fraction[size_t(j)];
            for (int i = 0; i < dw; ++i) grey[size_t(i)] = uint8_t(Lerp17(a[i], b[i], f));
            WriteGreyAsBGR(grey.data(), dw, dst.RowPointer(j));
            progress.Report(int(perRow * (sh + j)));
        }
        return;
    }

    // Both axes shrink: mean of a box around each destination pixel.
    const double gx = double(sw) / dw, gy = double(sh) / dh;
    std::vector<int32_t> c0(static_cast<size_t>(dw)), c1(static_cast<size_t>(dw));
    for (int i = 0; i < dw; ++i) {
        c0[size_t(i)] = std::clamp(int(gx * i - gx / 2), 0, sw - 1);
        c1[size_t(i)] = std::clamp(int(gx / 2 + gx * i), 0, sw - 1);
    }
    std::vector<int64_t> prefix(static_cast<size_t>(sw) + 1);
    for (int j = 0; j < dh; ++j) {
        const int r0 = std::clamp(int(gy * j - gy / 2), 0, sh - 1);
        const int r1 = std::clamp(int(double(int(gy)) / 2 + gy * j), 0, sh - 1);
        // Set bits per column over the box's rows, then prefix sums along the row.
        std::vector<int64_t> bits(size_t(sw), 0);
        for (int y = r0; y <= r1; ++y) {
            const uint8_t* in = src.RowPointer(y);
            for (int x = 0; x < sw; ++x) bits[size_t(x)] += BitAt(in, x);
        }
        for (int x = 0; x < sw; ++x) prefix[size_t(x) + 1] = prefix[size_t(x)] + bits[size_t(x)];
        const int64_t rows = r1 - r0 + 1;
        for (int i = 0; i < dw; ++i) {
            const int64_t set = prefix[size_t(c1[size_t(i)]) + 1] - prefix[size_t(c0[size_t(i)])];
            const int64_t count = rows * (c1[size_t(i)] - c0[size_t(i)] + 1);
            grey[size_t(i)] = uint8_t(255 * set / count);
        }
        WriteGreyAsBGR(grey.data(), dw, dst.RowPointer(j));
        progress.ReportChanged(int((j + 1) * 100.0 / dh));
    }
}

// ---------------------------------------------------------------------------------------
// Exact area with bilinear or bicubic interpolation (rfBilinear, rfBicubic)

struct AreaSegment {
    double Length;  // may be a hair negative where the 0.0001 tolerance took an edge early
    int32_t Source;
    int32_t Dest;
    double U;        // position inside the source pixel where the segment ends
    bool EndsDest;   // the segment closes a destination pixel
};

// Cuts 0..srcSize at every source pixel edge and every destination edge (multiples of
// `f`), left to right; a destination edge within 0.0001 past the next integer is taken
// first. srcSize + dstSize segments.
std::vector<AreaSegment> CutAxis(int srcSize, int dstSize, double f) {
    std::vector<AreaSegment> segs;
    segs.reserve(size_t(srcSize) + size_t(dstSize));
    double pos = 0.0;
    int s = 0, d = 0;
    for (int64_t step = 0; step < int64_t(srcSize) + dstSize; ++step) {
        const double destEdge = f * (d + 1);
        const double intEdge = s + 1;
        AreaSegment seg;
        seg.Source = std::min(s, srcSize - 1);
        seg.Dest = std::min(d, dstSize - 1);
        if (d < dstSize && destEdge <= intEdge + 0.0001) {
            seg.Length = destEdge - pos;
            seg.U = destEdge - s;
            seg.EndsDest = true;
            pos = destEdge;
            ++d;
        } else {
            seg.Length = intEdge - pos;
            seg.U = 1.0;
            seg.EndsDest = false;
            pos = intEdge;
            ++s;
        }
        segs.push_back(seg);
    }
    return segs;
}

inline double CubicWeight(double s) {
    s = std::fabs(s);
    if (s <= 1.0) return s * s * s - 2.0 * s * s + 1.0;
    return -s * s * s + 5.0 * s * s - 8.0 * s + 4.0;
}

inline double Cubic(double pm1, double p0, double p1, double p2, double u, double maxValue) {
    double v = pm1 * CubicWeight(u + 1.0) + p0 * CubicWeight(u) + p1 * CubicWeight(u - 1.0) +
               p2 * CubicWeight(u - 2.0);
    return std::clamp(v, 0.0, maxValue);
}

enum class AreaMode { Shrink, EnlargeX, EnlargeY, EnlargeBoth };

// Adds area * value of every x segment of one y segment to the accumulators; one
// instance per mode, interpolation and channel count, so the inner loop has no branches.
template <AreaMode kMode, bool kBicubic, int kCh>
void AccumulateSegments(const std::vector<AreaSegment>& xs, double yLength, double v,
                        const double* above, const double* cur, const double* next,
                        const double* next2, double* __restrict acc, double maxValue) {
    constexpr size_t ch = kCh;
    for (const AreaSegment& xSeg : xs) {
        const double area = xSeg.Length * yLength;
        const double u = xSeg.U;
        const size_t o = size_t(xSeg.Source) * ch;
        double* a = acc + size_t(xSeg.Dest) * ch;
        for (size_t c = 0; c < ch; ++c) {
            const size_t p = o + c;
            double value;
            if constexpr (kMode == AreaMode::Shrink) {
                value = cur[p];
            } else if constexpr (kMode == AreaMode::EnlargeX) {
                value = kBicubic ? Cubic(cur[p - ch], cur[p], cur[p + ch], cur[p + 2 * ch], u, maxValue)
                                 : (1.0 - u) * cur[p] + u * cur[p + ch];
            } else if constexpr (kMode == AreaMode::EnlargeY) {
                value = kBicubic ? Cubic(above[p], cur[p], next[p], next2[p], v, maxValue)
                                 : (1.0 - v) * cur[p] + v * next[p];
            } else if constexpr (kBicubic) {
                // Four horizontal interpolations, each rounded, then one vertical.
                auto h = [&](const double* r) {
                    return std::nearbyint(Cubic(r[p - ch], r[p], r[p + ch], r[p + 2 * ch], u, maxValue));
                };
                value = Cubic(h(above), h(cur), h(next), h(next2), v, maxValue);
            } else {
                value = (1.0 - v) * ((1.0 - u) * cur[p] + u * cur[p + ch]) +
                        v * ((1.0 - u) * next[p] + u * next[p + ch]);
            }
            a[c] += area * value;
        }
    }
}

using AccumulateFn = void (*)(const std::vector<AreaSegment>&, double, double, const double*,
                              const double*, const double*, const double*, double*, double);

template <int kCh>
AccumulateFn PickAccumulator(AreaMode mode, bool bicubic) {
    switch (mode) {
        case AreaMode::Shrink:
            return AccumulateSegments<AreaMode::Shrink, false, kCh>;
        case AreaMode::EnlargeX:
            return bicubic ? AccumulateSegments<AreaMode::EnlargeX, true, kCh>
                           : AccumulateSegments<AreaMode::EnlargeX, false, kCh>;
        case AreaMode::EnlargeY:
            return bicubic ? AccumulateSegments<AreaMode::EnlargeY, true, kCh>
                           : AccumulateSegments<AreaMode::EnlargeY, false, kCh>;
        default:
            return bicubic ? AccumulateSegments<AreaMode::EnlargeBoth, true, kCh>
                           : AccumulateSegments<AreaMode::EnlargeBoth, false, kCh>;
    }
}

// kWide: 16-bit little-endian samples, else bytes.
template <bool kWide>
void ExactArea(TImageBuffer& src, TImageBuffer& dst, int channels, bool bicubic,
               Progress& progress) {
    const int sw = src.Width(), sh = src.Height();
    const int dw = dst.Width(), dh = dst.Height();
    const double fx = double(sw) / dw, fy = double(sh) / dh;
    const double maxValue = kWide ? 65535.0 : 255.0;
    AreaMode mode = AreaMode::Shrink;
    if (fx < 1.0 && fy < 1.0) {
        mode = AreaMode::EnlargeBoth;
    } else if (fx < 1.0) {
        mode = AreaMode::EnlargeX;
    } else if (fy < 1.0) {
        mode = AreaMode::EnlargeY;
    }

    const AccumulateFn accumulate =
        channels == 3 ? PickAccumulator<3>(mode, bicubic) : PickAccumulator<1>(mode, bicubic);
    const std::vector<AreaSegment> xs = CutAxis(sw, dw, fx);
    const std::vector<AreaSegment> ys = CutAxis(sh, dh, fy);

    // Four source rows y-1 .. y+2, each with one column of edge repeat on the left and
    // two on the right, channels interleaved.
    const size_t rowLen = size_t(sw + 3) * size_t(channels);
    std::vector<double> rows[4];
    for (auto& r : rows) r.resize(rowLen);
    auto loadRow = [&](std::vector<double>& into, int y) {
        y = std::clamp(y, 0, sh - 1);
        const uint8_t* in = src.RowPointer(y);
        for (int x = -1; x <= sw + 1; ++x) {
            const int sx = std::clamp(x, 0, sw - 1);
            for (int c = 0; c < channels; ++c) {
                double v;
                if constexpr (kWide) {
                    const uint8_t* p = in + (size_t(sx) * size_t(channels) + size_t(c)) * 2;
                    v = double(p[0] | (p[1] << 8));
                } else {
                    v = in[size_t(sx) * size_t(channels) + size_t(c)];
                }
                into[size_t(x + 1) * size_t(channels) + size_t(c)] = v;
            }
        }
    };
    int y = 0;
    for (int k = 0; k < 4; ++k) loadRow(rows[k], y - 1 + k);

    std::vector<double> acc(size_t(dw) * size_t(channels), 0.0);
    const double norm = fx * fy;
    const size_t ch = size_t(channels);
    for (const AreaSegment& ySeg : ys) {
        while (y < ySeg.Source) {
            // Next source row: shift the window down by one.
            std::swap(rows[0], rows[1]);
            std::swap(rows[1], rows[2]);
            std::swap(rows[2], rows[3]);
            ++y;
            loadRow(rows[3], y + 2);
        }
        const double* above = rows[0].data() + ch;  // index 0 is column -1
        const double* cur = rows[1].data() + ch;
        const double* next = rows[2].data() + ch;
        const double* next2 = rows[3].data() + ch;
        const double v = ySeg.U;
        accumulate(xs, ySeg.Length, v, above, cur, next, next2, acc.data(), maxValue);
        if (ySeg.EndsDest) {
            uint8_t* out = dst.RowPointer(ySeg.Dest);
            for (size_t k = 0; k < acc.size(); ++k) {
                const double value = std::clamp(std::nearbyint(acc[k] / norm), 0.0, maxValue);
                if constexpr (kWide) {
                    const uint16_t w = uint16_t(value);
                    out[2 * k] = uint8_t(w & 0xFF);
                    out[2 * k + 1] = uint8_t(w >> 8);
                } else {
                    out[k] = uint8_t(value);
                }
            }
            std::fill(acc.begin(), acc.end(), 0.0);
            progress.Report(int((ySeg.Dest + 1) / double(dh) * 100));
        }
    }
}

// ---------------------------------------------------------------------------------------
// Projection into pf1g (rfProjectBW, rfProjectWB)

void Project(TImageBuffer& src, TImageBuffer& dst, bool lightWins, Progress& progress) {
    const int sw = src.Width(), sh = src.Height();
    const int dw = dst.Width(), dh = dst.Height();
    const bool oneBit = src.PixelFormat() == pf1g;
    const double gx = double(sw) / dw, gy = double(sh) / dh;
    std::vector<int32_t> q(static_cast<size_t>(dw));
    for (int k = 0; k < dw; ++k) q[size_t(k)] = std::clamp(int(gx * k), 0, sw - 1);

    RowAccessScope readOnly(src, 1), writeOnly(dst, 2);
    std::vector<uint8_t> hit(static_cast<size_t>(sw));
    std::vector<int32_t> prefix(static_cast<size_t>(sw) + 1);
    for (int j = 0; j < dh; ++j) {
        const int r0 = j == 0 ? 0 : std::clamp(int(gy * (j - 1)), 0, sh - 1);
        const int r1 = j == 0 ? 0 : std::clamp(int(gy * j), 0, sh - 1);
        // Columns where some row of the block has the pixel that wins.
        std::fill(hit.begin(), hit.end(), 0);
        for (int y = r0; y <= r1; ++y) {
            const uint8_t* in = src.RowPointer(y);
            for (int x = 0; x < sw; ++x) {
                bool wins;
                if (oneBit) {
                    wins = BitAt(in, x) == lightWins;
                } else {
                    const uint8_t* p = in + 3 * x;
                    wins = lightWins ? (p[0] > 128 && p[1] > 128 && p[2] > 128)
                                     : (p[0] < 128 && p[1] < 128 && p[2] < 128);
                }
                hit[size_t(x)] |= uint8_t(wins);
            }
        }
        for (int x = 0; x < sw; ++x) prefix[size_t(x) + 1] = prefix[size_t(x)] + hit[size_t(x)];
        uint8_t* out = dst.RowPointer(j);
        // BW starts white and turns pixels black, WB the other way round.
        std::memset(out, lightWins ? 0x00 : 0xFF, size_t(dst.RowLen()));
        for (int k = 0; k < dw; ++k) {
            const int c0 = k == 0 ? 0 : q[size_t(k) - 1];
            const int c1 = k == 0 ? 0 : q[size_t(k)];
            if (prefix[size_t(c1) + 1] - prefix[size_t(c0)] == 0) continue;
            const uint8_t mask = uint8_t(0x80 >> (k & 7));
            if (lightWins) {
                out[k >> 3] |= mask;
            } else {
                out[k >> 3] &= uint8_t(~mask);
            }
        }
        progress.Report(int(j * 100 / (dh + 0.5)));
    }
}

// ---------------------------------------------------------------------------------------
// Dispatch by source format

// The format the destination gets for a source format and filter.
TPixelFormatKind DestinationFormat(const TImageBuffer& src, const FilterDescriptor& f, int width,
                                   int height) {
    const TPixelFormatKind format = src.PixelFormat();
    if (f.Kind == Family::Projection && (format == pf24RGB || format == pf1g)) return pf1g;
    if (format == pf1g && f.Kind != Family::Nearest) {
        const bool sameSize = width == src.Width() && height == src.Height();
        if (f.Kind == Family::Convolution || !sameSize) return pf24RGB;
    }
    return format;
}

void ResamplePixels(TImageBuffer& src, TImageBuffer& dst, const FilterDescriptor& f,
                    Progress& progress) {
    const TPixelFormatKind format = src.PixelFormat();
    if (f.Kind == Family::Nearest) {
        NearestCopy(src, dst, progress);
        return;
    }
    switch (format) {
        case pf24RGB:
        case pf8g: {
            const int channels = format == pf24RGB ? 3 : 1;
            switch (f.Kind) {
                case Family::Convolution:
                    Convolve(src, dst, f, channels, false, progress);
                    break;
                case Family::FastLinear:
                    FastLinear(src, dst, channels, progress);
                    break;
                case Family::ExactArea:
                    ExactArea<false>(src, dst, channels, f.Detail == Variant::Bicubic, progress);
                    break;
                case Family::Projection:
                    if (format == pf24RGB) {
                        Project(src, dst, f.Detail == Variant::LightWins, progress);
                    } else {
                        FastLinear(src, dst, 1, progress);
                    }
                    break;
                default:
                    break;
            }
            break;
        }
        case pf1g:
            switch (f.Kind) {
                case Family::Convolution:
                    Convolve(src, dst, f, 1, true, progress);
                    break;
                case Family::FastLinear:
                case Family::ExactArea:
                    if (dst.PixelFormat() == pf1g) {
                        NearestCopy(src, dst, progress);  // same size: a plain copy
                    } else {
                        FastLinear1Bit(src, dst, progress);
                    }
                    break;
                case Family::Projection:
                    Project(src, dst, f.Detail == Variant::LightWins, progress);
                    break;
                default:
                    break;
            }
            break;
        case pfRGB48:
        case pfGray16:
            if (f.Kind == Family::ExactArea) {
                ExactArea<true>(src, dst, format == pfRGB48 ? 3 : 1, f.Detail == Variant::Bicubic,
                                progress);
            }
            break;
        default:
            break;  // no filtered path for this format: the pixels stay unwritten
    }
}

// The alpha buffer goes through the 8-bit one-channel paths.
void ResampleAlpha(TImageBuffer& src, TImageBuffer& dst, const FilterDescriptor& f) {
    const ResampleProgress none;
    Progress quiet(none);
    switch (f.Kind) {
        case Family::Nearest:
            NearestCopy(src, dst, quiet);
            break;
        case Family::Convolution:
            Convolve(src, dst, f, 1, false, quiet);
            break;
        default:
            FastLinear(src, dst, 1, quiet);
            break;
    }
}

}  // namespace

void ResampleInto(TImageBuffer& source, TImageBuffer& destination, int32_t width,
                  int32_t height, TResampleFilter filter, const ResampleProgress& progressFn) {
    destination.FreeImage();
    if (source.IsEmpty() || source.Width() < 1 || source.Height() < 1 || width < 1 || height < 1)
        return;
    const FilterDescriptor& f = DescriptorOf(filter);
    Progress progress(progressFn);

    if (!destination.Allocate(width, height, DestinationFormat(source, f, width, height))) return;
    if (source.PixelFormat() == pf8p) source.CopyPaletteTo(destination);

    TImageBuffer* srcAlpha = source.HasAlpha() ? source.Alpha() : nullptr;
    const bool alphaUsable = srcAlpha && srcAlpha->Width() == source.Width() &&
                             srcAlpha->Height() == source.Height() &&
                             srcAlpha->PixelFormat() == pf8g;

    // Fully transparent pixels carry no colour of their own; a mid grey keeps them from
    // bleeding a stray colour into their neighbours.
    if (alphaUsable && source.PixelFormat() == pf24RGB) {
        for (int y = 0; y < source.Height(); ++y) {
            const uint8_t* a = srcAlpha->RowPointer(y);
            uint8_t* p = source.RowPointer(y);
            for (int x = 0; x < source.Width(); ++x) {
                if (a[x] == 0) p[3 * x] = p[3 * x + 1] = p[3 * x + 2] = 128;
            }
        }
    }

    ResamplePixels(source, destination, f, progress);

    if (alphaUsable) {
        TImageBuffer* dstAlpha = destination.Alpha();
        if (dstAlpha && !dstAlpha->IsEmpty()) {
            ResampleAlpha(*srcAlpha, *dstAlpha, f);
            dstAlpha->FullyOpaque = srcAlpha->FullyOpaque;
        }
    }
}

}  // namespace morvane
