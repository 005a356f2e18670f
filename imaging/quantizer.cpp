#include "quantizer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

namespace morvane {

namespace {

constexpr uint32_t kNoColor = 0xFFFFFFFFu;
constexpr int kExactSlots = 1024;  // power of two, more than twice the 257 colours we track

int ExactSlot(uint32_t rgb) { return int((rgb * 2654435761u) >> 22) & (kExactSlots - 1); }

uint32_t PackRGB(const uint8_t* bgr) {
    return (uint32_t(bgr[2]) << 16) | (uint32_t(bgr[1]) << 8) | bgr[0];
}

}  // namespace

namespace detail {

// Dekker's NeuQuant (1994): a one-dimensional self-organising map of `n` neurons trained
// on a prime-stride sample of the image, all in integer arithmetic.
class NeuQuantNet {
public:
    NeuQuantNet(const TImageBuffer& source, int n, int samplingFactor)
        : m_n(n), m_net(size_t(n)), m_bias(size_t(n)), m_freq(size_t(n)),
          m_radPower(size_t(kInitRadius(n) >> kRadiusBiasShift) + 1) {
        for (int i = 0; i < n; ++i) {
            int v = (i << (kNetBiasShift + 8)) / n;
            m_net[i] = {v, v, v, i};
            m_freq[i] = kIntBias / n;
            m_bias[i] = 0;
        }
        Learn(source, samplingFactor);
    }

    // Writes the unbiased network as palette entries 0 .. n - 1 and builds the green index.
    void Finish(TBGRTriple* palette) {
        for (int i = 0; i < m_n; ++i) {
            for (int c = 0; c < 3; ++c) m_net[i][c] = std::clamp((m_net[i][c] + 8) >> 4, 0, 255);
            m_net[i][3] = i;
            palette[i] = {uint8_t(m_net[i][0]), uint8_t(m_net[i][1]), uint8_t(m_net[i][2])};
        }
        BuildGreenIndex();
    }

    // The published index search: walk outwards from the colour's green position while
    // the green distance alone is below the best full distance found so far.
    int Search(int b, int g, int r) const {
        int bestD = 1000;
        int best = -1;
        int i = m_netIndex[g];
        int j = i - 1;
        auto consider = [&](const std::array<int, 4>& p, int greenDist) {
            int dist = std::abs(greenDist) + std::abs(p[0] - b);
            if (dist >= bestD) return;
            dist += std::abs(p[2] - r);
            if (dist < bestD) {
                bestD = dist;
                best = p[3];
            }
        };
        while (i < m_n || j >= 0) {
            if (i < m_n) {
                int dist = m_net[i][1] - g;
                if (dist >= bestD) {
                    i = m_n;
                } else {
                    consider(m_net[i], dist);
                    ++i;
                }
            }
            if (j >= 0) {
                int dist = g - m_net[j][1];
                if (dist >= bestD) {
                    j = -1;
                } else {
                    consider(m_net[j], dist);
                    --j;
                }
            }
        }
        return best;
    }

private:
    static constexpr int kCycles = 100;
    static constexpr int kNetBiasShift = 4;
    static constexpr int kIntBiasShift = 16;
    static constexpr int kIntBias = 1 << kIntBiasShift;
    static constexpr int kGammaShift = 10;
    static constexpr int kBetaShift = 10;
    static constexpr int kBeta = kIntBias >> kBetaShift;                       // 64
    static constexpr int kBetaGamma = kIntBias << (kGammaShift - kBetaShift);  // 65536
    static constexpr int kRadiusBiasShift = 6;
    static constexpr int kRadiusBias = 1 << kRadiusBiasShift;
    static constexpr int kRadiusDec = 30;
    static constexpr int kInitAlpha = 1 << 10;
    static constexpr int kRadBias = 1 << 8;
    static constexpr int kAlphaRadBias = 1 << 18;
    static constexpr int kInitRadius(int n) { return (n >> 3) * kRadiusBias; }

    // The bias is a signed 32-bit quantity in the published code; wrap rather than overflow.
    static int32_t WrapAdd(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }

    int Contest(int b, int g, int r) {
        int bestD = INT32_MAX, bestBiasD = INT32_MAX;
        int bestPos = 0, bestBiasPos = 0;
        for (int i = 0; i < m_n; ++i) {
            const auto& p = m_net[i];
            int dist = std::abs(p[0] - b) + std::abs(p[1] - g) + std::abs(p[2] - r);
            if (dist < bestD) {
                bestD = dist;
                bestPos = i;
            }
            int biasDist = dist - (m_bias[i] >> (kIntBiasShift - kNetBiasShift));
            if (biasDist < bestBiasD) {
                bestBiasD = biasDist;
                bestBiasPos = i;
            }
            int betaFreq = m_freq[i] >> kBetaShift;
            m_freq[i] -= betaFreq;
            m_bias[i] = WrapAdd(m_bias[i], int32_t(uint32_t(betaFreq) << kGammaShift));
        }
        m_freq[bestPos] += kBeta;
        m_bias[bestPos] = WrapAdd(m_bias[bestPos], -kBetaGamma);
        return bestBiasPos;
    }

    void MoveSingle(int alpha, int i, int b, int g, int r) {
        auto& p = m_net[i];
        p[0] -= alpha * (p[0] - b) / kInitAlpha;
        p[1] -= alpha * (p[1] - g) / kInitAlpha;
        p[2] -= alpha * (p[2] - r) / kInitAlpha;
    }

    void MoveNeighbours(int rad, int i, int b, int g, int r) {
        int lo = std::max(i - rad, -1);
        int hi = std::min(i + rad, m_n);
        int j = i + 1, k = i - 1, m = 1;
        auto move = [&](std::array<int, 4>& p, int64_t a) {
            p[0] -= int(a * (p[0] - b) / kAlphaRadBias);
            p[1] -= int(a * (p[1] - g) / kAlphaRadBias);
            p[2] -= int(a * (p[2] - r) / kAlphaRadBias);
        };
        while (j < hi || k > lo) {
            int64_t a = m_radPower[m++];
            if (j < hi) move(m_net[j++], a);
            if (k > lo) move(m_net[k--], a);
        }
    }

    void ComputeRadPower(int rad, int alpha) {
        for (int i = 0; i < rad; ++i)
            m_radPower[i] = alpha * (((rad * rad - i * i) * kRadBias) / (rad * rad));
    }

    void Learn(const TImageBuffer& source, int samplingFactor) {
        const int64_t width = source.Width();
        const int64_t pixels = width * source.Height();
        const int64_t lengthCount = 3 * pixels;
        const int64_t samplePixels = lengthCount / (3 * int64_t(samplingFactor));
        int64_t delta = std::max<int64_t>(samplePixels / kCycles, 1);
        int alphaDec = 30 + (samplingFactor - 1) / 3;
        int alpha = kInitAlpha;
        int radius = kInitRadius(m_n);
        int rad = radius >> kRadiusBiasShift;
        if (rad <= 1) rad = 0;
        ComputeRadPower(rad, alpha);

        int64_t step = 503;
        if (lengthCount % 499 != 0)
            step = 499;
        else if (lengthCount % 491 != 0)
            step = 491;
        else if (lengthCount % 487 != 0)
            step = 487;
        step %= pixels;

        int64_t pos = 0;
        for (int64_t i = 0; i < samplePixels;) {
            const uint8_t* px = source.RowPointer(int(pos / width)) + (pos % width) * 3;
            int b = px[0] << kNetBiasShift;
            int g = px[1] << kNetBiasShift;
            int r = px[2] << kNetBiasShift;
            int winner = Contest(b, g, r);
            MoveSingle(alpha, winner, b, g, r);
            if (rad > 0) MoveNeighbours(rad, winner, b, g, r);
            pos += step;
            if (pos >= pixels) pos -= pixels;
            ++i;
            if (i % delta == 0) {
                alpha -= alpha / alphaDec;
                radius -= radius / kRadiusDec;
                rad = radius >> kRadiusBiasShift;
                if (rad <= 1) rad = 0;
                ComputeRadPower(rad, alpha);
            }
        }
    }

    // Orders the neurons by green (a selection sort that keeps equal greens in their
    // order) and records, for every green value, where its search starts.
    void BuildGreenIndex() {
        int previous = 0, startPos = 0;
        for (int i = 0; i < m_n; ++i) {
            int smallPos = i;
            int smallVal = m_net[i][1];
            for (int j = i + 1; j < m_n; ++j) {
                if (m_net[j][1] < smallVal) {
                    smallPos = j;
                    smallVal = m_net[j][1];
                }
            }
            std::rotate(m_net.begin() + i, m_net.begin() + smallPos, m_net.begin() + smallPos + 1);
            if (smallVal != previous) {
                m_netIndex[previous] = (startPos + i) >> 1;
                for (int j = previous + 1; j < smallVal; ++j) m_netIndex[j] = i;
                previous = smallVal;
                startPos = i;
            }
        }
        const int maxPos = m_n - 1;
        m_netIndex[previous] = (startPos + maxPos) >> 1;
        for (int j = previous + 1; j < 256; ++j) m_netIndex[j] = maxPos;
    }

    int m_n;
    std::vector<std::array<int, 4>> m_net;  // blue, green, red, index before sorting
    std::vector<int32_t> m_bias;
    std::vector<int> m_freq;
    std::vector<int> m_radPower;
    std::array<int, 256> m_netIndex{};
};

// Variance-driven box splitting over a 32 x 32 x 32 histogram of (R >> 3, G >> 3, B >> 3).
class BoxSplitter {
public:
    BoxSplitter(const TImageBuffer& source, int n, TBGRTriple* palette)
        : m_hist(kCells), m_cellIndex(kCells) {
        const int width = source.Width();
        for (int y = 0; y < source.Height(); ++y) {
            const uint8_t* px = source.RowPointer(y);
            for (int x = 0; x < width; ++x, px += 3) ++m_hist[Cell(px[2] >> 3, px[1] >> 3, px[0] >> 3)];
        }
        m_pixels = double(int64_t(width) * source.Height());

        Box first;
        for (int c = 0; c < 3; ++c) {
            first.lower[c] = 0;
            first.upper[c] = kBins;
        }
        Rebuild(first);  // box 0 keeps the full 0..32 range, unshrunk
        std::vector<Box> boxes{first};

        while (int(boxes.size()) < n) {
            int pick = -1;
            double largest = 0.0;
            for (int i = 0; i < int(boxes.size()); ++i) {
                if (boxes[i].error > largest) {
                    largest = boxes[i].error;
                    pick = i;
                }
            }
            if (pick < 0) break;

            Box lowHalf, highHalf;
            if (Split(boxes[pick], lowHalf, highHalf)) {
                boxes[pick] = lowHalf;
                boxes.push_back(highHalf);
            } else {
                boxes[pick].error = 0.0;
            }
        }

        m_produced = int(boxes.size());
        for (int i = 0; i < m_produced; ++i) {
            const Box& box = boxes[i];
            auto level = [](double mean) { return uint8_t(int(std::nearbyint(mean)) << 3); };
            palette[i] = {level(box.mean[2]), level(box.mean[1]), level(box.mean[0])};
            for (int r = box.lower[0]; r < box.upper[0]; ++r)
                for (int g = box.lower[1]; g < box.upper[1]; ++g)
                    for (int b = box.lower[2]; b < box.upper[2]; ++b)
                        m_cellIndex[Cell(r, g, b)] = uint8_t(i);
        }
    }

    int Index(int r, int g, int b) const { return m_cellIndex[Cell(r >> 3, g >> 3, b >> 3)]; }
    int Produced() const { return m_produced; }

private:
    static constexpr int kBins = 32;
    static constexpr int kCells = kBins * kBins * kBins;
    // Sums of halves at or above this never count as a split (also the score of a channel
    // that cannot be split).
    static constexpr double kSplitLimit = 17523.6;

    struct Box {
        double error = 0.0;
        double mean[3] = {0.0, 0.0, 0.0};  // red, green, blue, in bins
        uint64_t count = 0;
        uint64_t hist[3][kBins] = {};  // marginal histograms: red, green, blue
        int lower[3] = {0, 0, 0};
        int upper[3] = {kBins, kBins, kBins};  // exclusive
    };

    static int Cell(int r, int g, int b) { return (r * kBins + g) * kBins + b; }

    // Marginal histograms and count of a box from the cells inside its bounds, then its
    // statistics.
    void Rebuild(Box& box) const {
        for (auto& h : box.hist) std::fill(std::begin(h), std::end(h), 0);
        box.count = 0;
        for (int r = box.lower[0]; r < box.upper[0]; ++r) {
            for (int g = box.lower[1]; g < box.upper[1]; ++g) {
                for (int b = box.lower[2]; b < box.upper[2]; ++b) {
                    uint64_t v = m_hist[Cell(r, g, b)];
                    box.hist[0][r] += v;
                    box.hist[1][g] += v;
                    box.hist[2][b] += v;
                    box.count += v;
                }
            }
        }
        ComputeStats(box);
    }

    void ComputeStats(Box& box) const {
        double error = 0.0;
        const double count = double(box.count);
        for (int c = 0; c < 3; ++c) {
            double s1 = 0.0, s2 = 0.0;
            for (int j = box.lower[c]; j < box.upper[c]; ++j) {
                double h = double(box.hist[c][j]);
                s1 += j * h;
                s2 += double(j) * j * h;
            }
            box.mean[c] = count > 0 ? s1 / count : 0.0;
            error += s2 - count * box.mean[c] * box.mean[c];
        }
        box.error = error / m_pixels;
    }

    static void Shrink(Box& box) {
        for (int c = 0; c < 3; ++c) {
            int lo = box.lower[c], hi = box.upper[c];
            while (lo < hi && box.hist[c][lo] == 0) ++lo;
            while (hi > lo && box.hist[c][hi - 1] == 0) --hi;
            if (lo < hi) {
                box.lower[c] = lo;
                box.upper[c] = hi;
            }
        }
    }

    // The cut along channel c with the best score, or -1.
    static int FindCut(const Box& box, int c) {
        if (box.upper[c] - box.lower[c] <= 1) return -1;
        const double count = double(box.count);
        const double mean = box.mean[c];
        const int start = int(std::nearbyint((box.lower[c] + mean) * 0.5));
        const int end = std::min(int(std::nearbyint((mean + box.upper[c]) * 0.5)), box.upper[c] - 1);
        uint64_t cum = 0;
        for (int j = box.lower[c]; j < start; ++j) cum += box.hist[c][j];
        double part = 0.0;
        int bestCut = -1;
        uint64_t bestCum = 0;
        double bestScore = 0.0;
        for (int j = start; j <= end; ++j) {
            cum += box.hist[c][j];
            part += double(box.hist[c][j]) * j / count;
            if (cum >= box.count) break;
            double d = mean - part;
            double score = double(cum) / double(box.count - cum) * d * d;
            if (bestCut < 0 || score > bestScore) {
                bestCut = j;
                bestScore = score;
                bestCum = cum;
            }
        }
        if (bestCut < 0 || bestCum == 0) return -1;  // one side would hold no pixel
        return bestCut;
    }

    bool Split(const Box& box, Box& lowOut, Box& highOut) const {
        double bestSum = kSplitLimit;
        bool found = false;
        for (int c = 0; c < 3; ++c) {
            int cut = FindCut(box, c);
            if (cut < 0) continue;
            Box low = box, high = box;
            low.upper[c] = cut + 1;
            high.lower[c] = cut + 1;
            Rebuild(low);
            Rebuild(high);
            Shrink(low);
            Shrink(high);
            ComputeStats(low);
            ComputeStats(high);
            double sum = low.error + high.error;
            if (sum < bestSum) {
                bestSum = sum;
                lowOut = low;
                highOut = high;
                found = true;
            }
        }
        return found;
    }

    std::vector<uint64_t> m_hist;
    std::vector<uint8_t> m_cellIndex;
    double m_pixels = 1.0;
    int m_produced = 0;
};

}  // namespace detail

namespace {

// NeuQuant's sampling factor: from the image size, or from NeuQuantQuality (100 = every pixel).
int SamplingFactor(int64_t pixels) {
    if (NeuQuantQuality < 0) {
        if (pixels < 2000) return 1;
        double s = std::nearbyint(double(pixels - 2000) * 13.0 / 148000.0 + 2.0);
        return int(std::min(30.0, std::max(1.0, s)));
    }
    int quality = std::min(NeuQuantQuality, 100);
    return int(std::trunc((100 - quality) / 100.0 * 29.0)) + 1;
}

}  // namespace

TColorQuantizer::TColorQuantizer(const TImageBuffer& source, TBGRTriple* palette, int,
                                 int colorCount)
    : m_colorCount(std::clamp(colorCount, 1, 256)), m_source(source) {
    m_sourceIsGray = source.IsGrayScale();
    const TPixelFormatKind format = source.PixelFormat();
    if (format == pf8p && source.Palette()) {
        std::copy_n(source.Palette(), m_colorCount, palette);
        m_mode = Mode::SourcePalette;
        m_produced = m_colorCount;
    } else if (m_sourceIsGray) {
        for (int i = 0; i < m_colorCount; ++i) {
            auto v = uint8_t(256 * i / m_colorCount);
            palette[i] = {v, v, v};
        }
        m_mode = Mode::GrayRamp;
        m_produced = m_colorCount;
    } else if (format == pf24RGB && !source.IsEmpty()) {
        CollectOrReduce(palette);
    }
}

TColorQuantizer::~TColorQuantizer() = default;

void TColorQuantizer::CollectOrReduce(TBGRTriple* palette) {
    // Distinct colours in scan order, giving up as soon as there are more than requested.
    m_exactKeys.assign(kExactSlots, kNoColor);
    m_exactIndex.assign(kExactSlots, -1);
    int found = 0;
    const int width = m_source.Width();
    for (int y = 0; y < m_source.Height() && found <= m_colorCount; ++y) {
        const uint8_t* px = m_source.RowPointer(y);
        for (int x = 0; x < width; ++x, px += 3) {
            uint32_t rgb = PackRGB(px);
            int slot = ExactSlot(rgb);
            while (m_exactKeys[slot] != kNoColor && m_exactKeys[slot] != rgb)
                slot = (slot + 1) & (kExactSlots - 1);
            if (m_exactKeys[slot] == rgb) continue;
            if (found == m_colorCount) {
                ++found;
                break;
            }
            m_exactKeys[slot] = rgb;
            m_exactIndex[slot] = int16_t(found);
            palette[found] = {px[0], px[1], px[2]};
            ++found;
        }
    }
    if (found <= m_colorCount) {
        m_mode = Mode::ExactList;
        m_produced = found;
        return;
    }
    m_exactKeys.clear();
    m_exactIndex.clear();

    bool neuQuant = QuantizerMethod == 0 || (QuantizerMethod != 1 && m_colorCount >= 128);
    if (neuQuant) {
        int64_t pixels = int64_t(width) * m_source.Height();
        m_neuQuant = std::make_unique<detail::NeuQuantNet>(m_source, m_colorCount,
                                                           SamplingFactor(pixels));
        m_neuQuant->Finish(palette);
        m_mode = Mode::NeuQuant;
        m_produced = m_colorCount;
    } else {
        m_boxes = std::make_unique<detail::BoxSplitter>(m_source, m_colorCount, palette);
        m_mode = Mode::BoxSplit;
        m_produced = m_boxes->Produced();
    }
}

int TColorQuantizer::ExactIndex(uint32_t rgb) const {
    int slot = ExactSlot(rgb);
    while (m_exactKeys[slot] != kNoColor) {
        if (m_exactKeys[slot] == rgb) return m_exactIndex[slot];
        slot = (slot + 1) & (kExactSlots - 1);
    }
    return -1;
}

int TColorQuantizer::ColorIndex(int color) const {
    const int r = (color >> 16) & 0xFF, g = (color >> 8) & 0xFF, b = color & 0xFF;
    switch (m_mode) {
    case Mode::GrayRamp:
        return r * m_colorCount / 256;
    case Mode::SourcePalette: {
        // Searched even for grey palettes: their order need not be a ramp (a 16-level grey
        // palette, or one sorted by frequency), and the index must name the entry holding
        // the colour.
        const TBGRTriple* pal = m_source.Palette();
        const TBGRTriple wanted{uint8_t(b), uint8_t(g), uint8_t(r)};
        for (int i = 0; i < 256; ++i)
            if (pal[i] == wanted) return i;
        return 256;
    }
    case Mode::ExactList:
        return ExactIndex(uint32_t(color) & 0xFFFFFF);
    case Mode::NeuQuant:
        return m_neuQuant->Search(b, g, r);
    case Mode::BoxSplit:
        return m_boxes->Index(r, g, b);
    case Mode::None:
        break;
    }
    return 0;
}

}  // namespace morvane
