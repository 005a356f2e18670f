#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "imagebuffer.h"

namespace morvane::test {

// Small hand-written rasters for the resampling and merge tests.

// A buffer of `format` whose 8-bit samples are value(x, y, channel); pf1g takes
// value != 0 as a set (white) bit, 16-bit formats take the value as the whole word.
template <typename F>
std::unique_ptr<TImageBuffer> MakeImage(int width, int height, TPixelFormatKind format, F value) {
    auto b = std::make_unique<TImageBuffer>();
    if (!b->Allocate(width, height, format)) return b;
    const int channels = FormatChannelCount(format);
    const int bits = FormatBitCount(format);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b->RowPointer(y);
        for (int x = 0; x < width; ++x) {
            if (bits == 1) {
                const uint8_t mask = uint8_t(0x80 >> (x & 7));
                if (value(x, y, 0)) {
                    row[x >> 3] |= mask;
                } else {
                    row[x >> 3] &= uint8_t(~mask);
                }
                continue;
            }
            const int bytesPerSample = bits / 8 / channels;
            for (int c = 0; c < channels; ++c) {
                const int v = value(x, y, c);
                uint8_t* p = row + (x * channels + c) * bytesPerSample;
                p[0] = uint8_t(v);
                if (bytesPerSample == 2) p[1] = uint8_t(v >> 8);
            }
        }
    }
    return b;
}

// Rows of pf8g samples, top row first.
inline std::unique_ptr<TImageBuffer> MakeGrey(const std::vector<std::vector<int>>& rows) {
    return MakeImage(int(rows[0].size()), int(rows.size()), pf8g,
                     [&](int x, int y, int) { return rows[size_t(y)][size_t(x)]; });
}

// A solid pf24RGB image.
inline std::unique_ptr<TImageBuffer> MakeSolid(int width, int height, TBGRTriple colour) {
    return MakeImage(width, height, pf24RGB, [&](int, int, int c) {
        return c == 0 ? colour.rgbtBlue : c == 1 ? colour.rgbtGreen : colour.rgbtRed;
    });
}

// Sample `channel` of pixel (x, y) as an integer (bits as 0/255, words whole).
inline int Sample(const TImageBuffer& b, int x, int y, int channel = 0) {
    const uint8_t* row = b.RowPointer(y);
    const int channels = b.ChannelCount();
    switch (b.BitCount() / std::max(channels, 1)) {
        case 1:
            return (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
        case 16: {
            const uint8_t* p = row + (x * channels + channel) * 2;
            return p[0] | (p[1] << 8);
        }
        default:
            return row[x * channels + channel];
    }
}

// One channel of a buffer as rows of numbers, for readable failure messages.
inline std::vector<std::vector<int>> Samples(const TImageBuffer& b, int channel = 0) {
    std::vector<std::vector<int>> rows;
    for (int y = 0; y < b.Height(); ++y) {
        rows.emplace_back();
        for (int x = 0; x < b.Width(); ++x) rows.back().push_back(Sample(b, x, y, channel));
    }
    return rows;
}

inline TBGRTriple ColourAt(const TImageBuffer& b, int x, int y) {
    const uint8_t* p = b.RowPointer(y) + x * 3;
    return {p[0], p[1], p[2]};
}

}  // namespace morvane::test
