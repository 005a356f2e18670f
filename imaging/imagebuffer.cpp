#include "imagebuffer.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "checkedsize.h"
#include "colorconv.h"

namespace morvane {

namespace {

struct FormatInfo {
    int bits;
    int channels;
};
// Indexed by TPixelFormatKind.
constexpr FormatInfo kFormats[kPixelFormatCount] = {
    {0, 0},   // pfNoFormat
    {1, 1},   // pf1g
    {8, 1},   // pf8p
    {8, 1},   // pf8g
    {16, 1},  // pfGray16
    {24, 3},  // pf24RGB
    {32, 1},  // pf32f
    {32, 4},  // pfCMYK
    {48, 3},  // pfRGB48
    {24, 3},  // pfCIELab
    {32, 4},  // pf32RGBX
};

// The pixel base is the first address inside the block with this alignment; the block is
// this much larger than the pixels, twice, so a full aligned span always fits.
constexpr size_t kBaseAlignment = 64;
constexpr uint64_t kBlockSlack = 128;

bool KnownFormat(TPixelFormatKind format) {
    return format >= pfNoFormat && format < kPixelFormatCount;
}

// Trunc(value) into 64 bits. Saturates (NaN gives 0) so that an odd fill value never
// reaches the undefined out-of-range double-to-integer conversion.
int64_t TruncValue(double value) {
    if (std::isnan(value))
        return 0;
    if (value >= 9.2e18)
        return std::numeric_limits<int64_t>::max();
    if (value <= -9.2e18)
        return std::numeric_limits<int64_t>::min();
    return int64_t(value);
}

inline bool GetBit(const uint8_t* row, int x) {
    return (row[x >> 3] >> (7 - (x & 7))) & 1;
}
inline void PutBit(uint8_t* row, int x, bool white) {
    const uint8_t mask = uint8_t(0x80u >> (x & 7));
    if (white)
        row[x >> 3] |= mask;
    else
        row[x >> 3] &= uint8_t(~mask);
}

// Copies `count` bits (leftmost pixel in the MSB) from bit srcX of src to bit dstX of dst.
// src and dst must not overlap.
void CopyBits(const uint8_t* src, int srcX, uint8_t* dst, int dstX, int count) {
    if (((srcX | dstX) & 7) == 0) {
        const int whole = count >> 3;
        std::memcpy(dst + (dstX >> 3), src + (srcX >> 3), size_t(whole));
        srcX += whole * 8;
        dstX += whole * 8;
        count -= whole * 8;
    }
    for (int i = 0; i < count; ++i)
        PutBit(dst, dstX + i, GetBit(src, srcX + i));
}

// Sets bits x1..x2 (inclusive) of a pf1g row.
void FillBits(uint8_t* row, int x1, int x2, bool white) {
    const int firstByte = x1 >> 3, lastByte = x2 >> 3;
    const uint8_t headMask = uint8_t(0xFFu >> (x1 & 7));
    const uint8_t tailMask = uint8_t(0xFFu << (7 - (x2 & 7)));
    auto apply = [&](int index, uint8_t mask) {
        row[index] = white ? uint8_t(row[index] | mask) : uint8_t(row[index] & ~mask);
    };
    if (firstByte == lastByte) {
        apply(firstByte, uint8_t(headMask & tailMask));
        return;
    }
    apply(firstByte, headMask);
    if (lastByte - firstByte > 1)
        std::memset(row + firstByte + 1, white ? 0xFF : 0x00, size_t(lastByte - firstByte - 1));
    apply(lastByte, tailMask);
}

// One pixel's bytes for a fill value (pf1g: the byte of eight pixels).
struct FillPattern {
    uint8_t bytes[8] = {};
    int size = 0;
    bool isMaximum = false;
};

FillPattern MakeFillPattern(TPixelFormatKind format, double value) {
    FillPattern p;
    const int64_t t = TruncValue(value);
    const TColor color = TColor(uint64_t(t));
    const uint8_t r = ColorRed(color), g = ColorGreen(color), b = ColorBlue(color);
    const bool white = (color & 0xFFFFFFu) == 0xFFFFFFu;
    switch (format) {
        case pfNoFormat:
            break;
        case pf1g:
            p.bytes[0] = value != 0 ? 0xFF : 0x00;
            p.size = 1;
            p.isMaximum = value != 0;
            break;
        case pf8p:
        case pf8g:
            p.bytes[0] = uint8_t(t);
            p.size = 1;
            p.isMaximum = p.bytes[0] == 255;
            break;
        case pfGray16: {
            const uint16_t w = uint16_t(t);
            p.bytes[0] = uint8_t(w);
            p.bytes[1] = uint8_t(w >> 8);
            p.size = 2;
            p.isMaximum = w == 65535;
            break;
        }
        case pf32f: {
            // Out-of-range doubles are clamped: converting them to float is undefined.
            const double limit = std::numeric_limits<float>::max();
            const float f = std::isnan(value) ? 0.0f : float(std::clamp(value, -limit, limit));
            std::memcpy(p.bytes, &f, 4);
            p.size = 4;
            p.isMaximum = f == 1.0f;
            break;
        }
        case pf24RGB:
            p.bytes[0] = b;
            p.bytes[1] = g;
            p.bytes[2] = r;
            p.size = 3;
            p.isMaximum = white;
            break;
        case pfCMYK: {
            const TCMYKBytes k = RGBToCMYK(r, g, b);
            p.bytes[0] = k.c;
            p.bytes[1] = k.m;
            p.bytes[2] = k.y;
            p.bytes[3] = k.k;
            p.size = 4;
            p.isMaximum = white;
            break;
        }
        case pfRGB48: {
            const uint16_t words[3] = {uint16_t(r * 257), uint16_t(g * 257), uint16_t(b * 257)};
            for (int i = 0; i < 3; ++i) {
                p.bytes[2 * i] = uint8_t(words[i]);
                p.bytes[2 * i + 1] = uint8_t(words[i] >> 8);
            }
            p.size = 6;
            p.isMaximum = white;
            break;
        }
        case pfCIELab: {
            const TLabBytes lab = RGBToCIELab(TBGRTriple{b, g, r});
            p.bytes[0] = lab.L;
            p.bytes[1] = uint8_t(lab.a);
            p.bytes[2] = uint8_t(lab.b);
            p.size = 3;
            p.isMaximum = white;
            break;
        }
        case pf32RGBX:
            // The fourth byte is left as it is; only three bytes are written.
            p.bytes[0] = b;
            p.bytes[1] = g;
            p.bytes[2] = r;
            p.size = 4;
            p.isMaximum = white;
            break;
    }
    return p;
}

// Reverses the order of `width` pixels of N bytes in a row.
template <size_t N>
void ReversePixels(uint8_t* row, int width) {
    for (int a = 0, b = width - 1; a < b; ++a, --b) {
        uint8_t t[N];
        std::memcpy(t, row + size_t(a) * N, N);
        std::memcpy(row + size_t(a) * N, row + size_t(b) * N, N);
        std::memcpy(row + size_t(b) * N, t, N);
    }
}

// Fills `next` (height = sourceWidth) from source rows already put in destination column
// order: destination (X, Y) takes pixel sx(Y) of rows[X]. Walks square blocks so that the
// source rows being read down a column stay in cache while the block is written.
template <size_t N>
void TurnTiles(const std::vector<const uint8_t*>& rows, TImageBuffer& next, int sourceWidth,
               bool mirrorCols) {
    constexpr int kBlock = 32;
    const int count = int(rows.size());
    for (int x0 = 0; x0 < count; x0 += kBlock) {
        const int x1 = std::min(count, x0 + kBlock);
        for (int y0 = 0; y0 < sourceWidth; y0 += kBlock) {
            const int y1 = std::min(sourceWidth, y0 + kBlock);
            for (int y = y0; y < y1; ++y) {
                uint8_t* dst = next.RowPointer(y);
                const size_t offset = size_t(mirrorCols ? sourceWidth - 1 - y : y) * N;
                for (int x = x0; x < x1; ++x)
                    std::memcpy(dst + size_t(x) * N, rows[size_t(x)] + offset, N);
            }
        }
    }
}

// Clips a copy of `length` pixels from position src to position dst along one axis. A
// negative position on either side moves the other one on and shortens the copy; then the
// copy is cut to both sizes. False when nothing is left.
bool ClipSpan(int64_t& src, int64_t& dst, int64_t& length, int64_t srcSize, int64_t dstSize) {
    if (dst < 0) {
        src -= dst;
        length += dst;
        dst = 0;
    }
    if (src < 0) {
        dst -= src;
        length += src;
        src = 0;
    }
    length = std::min({length, srcSize - src, dstSize - dst});
    return length > 0;
}

// Bytes that hold `width` pixels of `bitCount` bits.
size_t PixelBytes(int width, int bitCount) {
    return (size_t(width) * size_t(bitCount) + 7) / 8;
}

}  // namespace

int FormatBitCount(TPixelFormatKind format) {
    return KnownFormat(format) ? kFormats[format].bits : 0;
}

int FormatChannelCount(TPixelFormatKind format) {
    return KnownFormat(format) ? kFormats[format].channels : 0;
}

int64_t ComputeRowLen(int64_t width, int bitCount, int alignmentBits) {
    if (width < 0 || bitCount < 0 || alignmentBits <= 0 || alignmentBits % 8 != 0)
        return -1;
    const auto bits = CheckedMul(uint64_t(width), uint64_t(bitCount));
    if (!bits || *bits > uint64_t(std::numeric_limits<int64_t>::max() / 2))
        return -1;
    const uint64_t units = (*bits + uint64_t(alignmentBits) - 1) / uint64_t(alignmentBits);
    return int64_t(units * uint64_t(alignmentBits / 8));
}

// ---------------------------------------------------------------------------------------
// TPixelMask

bool TPixelMask::Allocate(int width, int height, int bitsPerPixel) {
    m_data.reset();
    m_width = m_height = m_bits = m_rowLen = 0;
    X1 = Y1 = kEmptyBox;
    X2 = Y2 = -1;
    FullyOpaque = false;
    if (width < 1 || height < 1 || (bitsPerPixel != 1 && bitsPerPixel != 8))
        return false;
    const int64_t rowLen = ComputeRowLen(width, bitsPerPixel, 32);
    const auto size = CheckedImageBytes(rowLen, height);
    if (rowLen <= 0 || rowLen > std::numeric_limits<int32_t>::max() || !size ||
        *size > uint64_t(std::numeric_limits<ptrdiff_t>::max()))
        return false;
    m_data.reset(new (std::nothrow) uint8_t[size_t(*size)]());
    if (!m_data)
        return false;
    m_width = width;
    m_height = height;
    m_bits = bitsPerPixel;
    m_rowLen = int(rowLen);
    return true;
}

uint8_t* TPixelMask::RowPointer(int row) {
    assert(row >= 0 && row < m_height);
    return m_data.get() + size_t(m_rowLen) * size_t(m_height - 1 - row);
}

const uint8_t* TPixelMask::RowPointer(int row) const {
    assert(row >= 0 && row < m_height);
    return m_data.get() + size_t(m_rowLen) * size_t(m_height - 1 - row);
}

void TPixelMask::SetPixel(int x, int y, int value) {
    if (x < 0 || y < 0 || x >= m_width || y >= m_height)
        return;
    uint8_t* row = RowPointer(y);
    bool nonZero, maximum;
    if (m_bits == 1) {
        nonZero = maximum = value != 0;
        PutBit(row, x, nonZero);
    } else {
        row[x] = uint8_t(value);
        nonZero = row[x] != 0;
        maximum = row[x] == 255;
    }
    if (!maximum)
        FullyOpaque = false;
    if (nonZero) {
        X1 = std::min(X1, int32_t(x));
        Y1 = std::min(Y1, int32_t(y));
        X2 = std::max(X2, int32_t(x));
        Y2 = std::max(Y2, int32_t(y));
    }
}

int TPixelMask::GetPixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= m_width || y >= m_height)
        return 0;
    const uint8_t* row = RowPointer(y);
    return m_bits == 1 ? int(GetBit(row, x)) : int(row[x]);
}

void TPixelMask::Fill(int value) {
    if (!m_data)
        return;
    const uint8_t byte = m_bits == 1 ? (value != 0 ? 0xFF : 0x00) : uint8_t(value);
    std::memset(m_data.get(), byte, size_t(m_rowLen) * size_t(m_height));
    // A 1-bit mask filled with zeros is fully transparent, not opaque.
    FullyOpaque = m_bits == 1 ? byte != 0 : byte == 255;
    if (byte != 0) {
        X1 = Y1 = 0;
        X2 = m_width - 1;
        Y2 = m_height - 1;
    } else {
        X1 = Y1 = kEmptyBox;
        X2 = Y2 = -1;
    }
}

void TPixelMask::Clear() {
    Fill(0);
}

void TPixelMask::RecomputeBox() {
    X1 = Y1 = kEmptyBox;
    X2 = Y2 = -1;
    for (int y = 0; y < m_height; ++y) {
        const uint8_t* row = RowPointer(y);
        int first = -1, last = -1;
        for (int x = 0; x < m_width; ++x) {
            const bool set = m_bits == 1 ? GetBit(row, x) : row[x] != 0;
            if (set) {
                if (first < 0)
                    first = x;
                last = x;
            }
        }
        if (first < 0)
            continue;
        X1 = std::min(X1, int32_t(first));
        X2 = std::max(X2, int32_t(last));
        if (Y1 == kEmptyBox)
            Y1 = y;
        Y2 = y;
    }
}

// ---------------------------------------------------------------------------------------
// TImageBuffer: storage

TImageBuffer::TImageBuffer() = default;

TImageBuffer::TImageBuffer(int width, int height, TPixelFormatKind format) {
    Allocate(width, height, format);
}

TImageBuffer::~TImageBuffer() = default;

void TImageBuffer::ReleaseStorage() {
    m_rawBlock.reset();
    m_base = nullptr;
}

void TImageBuffer::FreeImage() {
    ReleaseStorage();
    m_palette.reset();
    m_alpha.reset();
    m_width = m_height = 0;
    m_bitCount = m_channelCount = m_rowLen = 0;
    m_format = pfNoFormat;
}

void TImageBuffer::AdoptPixelsOf(TImageBuffer& other) {
    m_rawBlock = std::move(other.m_rawBlock);
    m_base = std::exchange(other.m_base, nullptr);
    m_palette = std::move(other.m_palette);
    m_width = other.m_width;
    m_height = other.m_height;
    m_bitCount = other.m_bitCount;
    m_channelCount = other.m_channelCount;
    m_rowLen = other.m_rowLen;
    m_format = other.m_format;
    m_location = other.m_location;
    m_rowAlignment = other.m_rowAlignment;
    other.FreeImage();
}

bool TImageBuffer::Allocate(int width, int height, TPixelFormatKind format) {
    // Unchanged geometry keeps pixels and alpha. An empty buffer has nothing to keep: a
    // repeated Allocate after a failure must fail again, not report success.
    if (!NeedsReallocate && !IsEmpty() && width == m_width && height == m_height &&
        format == m_format)
        return true;
    FreeImage();
    NeedsReallocate = false;
    if (width < 1 || height < 1 || !KnownFormat(format) || format == pfNoFormat)
        return false;

    const int bits = kFormats[format].bits;
    const int64_t rowLen = ComputeRowLen(width, bits, m_rowAlignment);
    if (rowLen <= 0 || rowLen > std::numeric_limits<int32_t>::max())
        return false;
    const auto size = CheckedImageBytes(rowLen, height);
    const auto blockSize = size ? CheckedAdd(*size, kBlockSlack) : std::nullopt;
    if (!blockSize || *blockSize > uint64_t(std::numeric_limits<ptrdiff_t>::max()))
        return false;

    if (format == pf8p) {
        m_palette.reset(new (std::nothrow) TBGRTriple[256]);
        if (!m_palette)
            return false;
    }
    // Files hand us absurd dimensions: no exception may leave here, so nothrow.
    m_rawBlock.reset(new (std::nothrow) uint8_t[size_t(*blockSize)]);
    if (!m_rawBlock) {
        m_palette.reset();
        return false;
    }
    const uintptr_t raw = reinterpret_cast<uintptr_t>(m_rawBlock.get());
    m_base = m_rawBlock.get() + ((kBaseAlignment - raw % kBaseAlignment) % kBaseAlignment);

    m_width = width;
    m_height = height;
    m_format = format;
    m_bitCount = bits;
    m_channelCount = kFormats[format].channels;
    m_rowLen = int32_t(rowLen);
    m_location = lkInMemory;
    FullyOpaque = false;
    return true;
}

uint8_t* TImageBuffer::RowPointer(int row) {
    assert(m_base && row >= 0 && row < m_height);
    // Bottom-up: row 0 (the top) is the last row of the block.
    return m_base + size_t(m_rowLen) * size_t(m_height - 1 - row);
}

const uint8_t* TImageBuffer::RowPointer(int row) const {
    assert(m_base && row >= 0 && row < m_height);
    return m_base + size_t(m_rowLen) * size_t(m_height - 1 - row);
}

void TImageBuffer::Location(TLocationKind location) {
    // Pixels are always placed in memory for now, so moving them there keeps them.
    if (location == lkInMemory && m_location != lkInMemory) {
        m_location = lkInMemory;
        NeedsReallocate = true;
    }
}

void TImageBuffer::RowAlignment(int bits) {
    if (bits <= 0 || bits % 8 != 0 || bits == m_rowAlignment)
        return;
    m_rowAlignment = bits;
    NeedsReallocate = true;
}

// ---------------------------------------------------------------------------------------
// Copying, palette, alpha

void TImageBuffer::Assign(const TImageBuffer& source) {
    if (&source == this)
        return;
    NeedsReallocate = true;
    bool copied = false;
    if (!source.IsEmpty()) {
        m_rowAlignment = source.m_rowAlignment;
        if (Allocate(source.m_width, source.m_height, source.m_format)) {
            const size_t bytes = size_t(std::min(source.m_rowLen, m_rowLen));
            for (int r = 0; r < m_height; ++r)
                std::memcpy(RowPointer(r), source.RowPointer(r), bytes);
            copied = true;
        }
    } else {
        FreeImage();
    }
    if (!IsAlpha) {
        m_alpha.reset();
        if (copied && source.m_alpha && !source.m_alpha->IsEmpty()) {
            auto alpha = std::make_unique<TImageBuffer>();
            alpha->IsAlpha = true;
            alpha->Assign(*source.m_alpha);
            if (alpha->Width() == m_width && alpha->Height() == m_height)
                m_alpha = std::move(alpha);
        }
    }
    source.CopyPaletteTo(*this);
    if (!copied)
        m_palette.reset();
    MonoMethod = source.MonoMethod;
    FullyOpaque = false;
}

TBGRTriple TImageBuffer::PaletteEntry(int index) const {
    if (!m_palette || index < 0 || index >= PaletteLength())
        return {};
    return m_palette[size_t(index)];
}

void TImageBuffer::PaletteEntry(int index, TBGRTriple value) {
    if (!m_palette || index < 0 || index >= PaletteLength())
        return;
    m_palette[size_t(index)] = value;
}

void TImageBuffer::CopyPaletteTo(TImageBuffer& destination) const {
    if (&destination == this)
        return;
    destination.PaletteColors = 256;
    if (!m_palette) {
        // A pf8p buffer keeps its palette storage: its pixels are indexes into it.
        if (destination.m_format != pf8p)
            destination.m_palette.reset();
        return;
    }
    if (!destination.m_palette) {
        destination.m_palette.reset(new (std::nothrow) TBGRTriple[256]);
        if (!destination.m_palette)
            return;
    }
    std::memcpy(destination.m_palette.get(), m_palette.get(), 256 * sizeof(TBGRTriple));
    destination.PaletteColors = PaletteColors;
}

TImageBuffer* TImageBuffer::Alpha() {
    if (IsAlpha)
        return nullptr;
    if (!m_alpha) {
        auto alpha = std::make_unique<TImageBuffer>();
        alpha->IsAlpha = true;
        alpha->m_location = m_location == lkPlatformBitmap ? lkInMemory : m_location;
        if (IsEmpty() || !alpha->Allocate(m_width, m_height, pf8g))
            return nullptr;
        alpha->Fill(255);
        m_alpha = std::move(alpha);
    }
    return m_alpha.get();
}

bool TImageBuffer::SetAlpha(std::unique_ptr<TImageBuffer> alpha) {
    if (!alpha) {
        m_alpha.reset();
        return true;
    }
    if (IsAlpha || alpha.get() == this || alpha->m_width != m_width ||
        alpha->m_height != m_height || alpha->m_format != pf8g || alpha->IsEmpty())
        return false;
    alpha->IsAlpha = true;
    alpha->m_alpha.reset();
    m_alpha = std::move(alpha);
    return true;
}

std::unique_ptr<TImageBuffer> TImageBuffer::TakeAlpha() {
    return std::move(m_alpha);
}

void TImageBuffer::DropAlpha(bool blend, TColor background) {
    if (IsAlpha || !m_alpha)
        return;
    if (blend && m_format == pf24RGB && !m_alpha->IsEmpty()) {
        const int bg[3] = {ColorBlue(background), ColorGreen(background), ColorRed(background)};
        const int w = std::min(m_width, m_alpha->m_width);
        const int h = std::min(m_height, m_alpha->m_height);
        for (int y = 0; y < h; ++y) {
            uint8_t* px = RowPointer(y);
            const uint8_t* a = m_alpha->RowPointer(y);
            for (int x = 0; x < w; ++x, px += 3) {
                const int alpha = a[x];
                // Division by 256 rounding toward minus infinity: an arithmetic shift.
                for (int c = 0; c < 3; ++c)
                    px[c] = uint8_t(bg[c] + ((alpha * (int(px[c]) - bg[c])) >> 8));
            }
        }
    }
    m_alpha.reset();
}

// ---------------------------------------------------------------------------------------
// Filling and areas

void TImageBuffer::FillRect(int x1, int y1, int x2, int y2, double value, bool& isMaximum) {
    const FillPattern p = MakeFillPattern(m_format, value);
    isMaximum = p.isMaximum;
    if (IsEmpty())
        return;
    x1 = std::max(x1, 0);
    y1 = std::max(y1, 0);
    x2 = std::min(x2, m_width - 1);
    y2 = std::min(y2, m_height - 1);
    if (x1 > x2 || y1 > y2)
        return;

    if (m_format == pf1g) {
        for (int y = y1; y <= y2; ++y)
            FillBits(RowPointer(y), x1, x2, p.bytes[0] != 0);
        return;
    }
    const int bpp = m_bitCount / 8;
    const int count = x2 - x1 + 1;
    if (m_format == pf32RGBX) {
        for (int y = y1; y <= y2; ++y) {
            uint8_t* px = RowPointer(y) + size_t(x1) * 4;
            for (int x = 0; x < count; ++x, px += 4)
                std::memcpy(px, p.bytes, 3);
        }
        return;
    }
    // Build the span once, then copy it into every other row.
    uint8_t* first = RowPointer(y1) + size_t(x1) * size_t(bpp);
    const size_t spanBytes = size_t(count) * size_t(bpp);
    if (bpp == 1) {
        std::memset(first, p.bytes[0], spanBytes);
    } else {
        for (int x = 0; x < count; ++x)
            std::memcpy(first + size_t(x) * size_t(bpp), p.bytes, size_t(bpp));
    }
    for (int y = y1 + 1; y <= y2; ++y)
        std::memcpy(RowPointer(y) + size_t(x1) * size_t(bpp), first, spanBytes);
}

void TImageBuffer::Fill(double value) {
    if (IsEmpty())
        return;
    bool isMaximum = false;
    FillRect(0, 0, m_width - 1, m_height - 1, value, isMaximum);
    FullyOpaque = isMaximum;
}

void TImageBuffer::FillArea(int x1, int y1, int x2, int y2, double value) {
    if (IsEmpty())
        return;
    bool isMaximum = false;
    FillRect(x1, y1, x2, y2, value, isMaximum);
    const bool touched = std::max(x1, 0) <= std::min(x2, m_width - 1) &&
                         std::max(y1, 0) <= std::min(y2, m_height - 1);
    if (touched && !isMaximum)
        FullyOpaque = false;
}

void TImageBuffer::CopyArea(TImageBuffer& destination, int srcX, int srcY, int dstX, int dstY,
                            int width, int height) const {
    if (IsEmpty() || destination.IsEmpty())
        return;
    const bool bitCopy = m_format == pf1g && destination.m_format == pf1g;
    const bool bitsToRGB = m_format == pf1g && destination.m_format == pf24RGB;
    const bool sameFormat = m_format == destination.m_format && m_format != pf1g;
    if (!bitCopy && !bitsToRGB && !sameFormat)
        return;

    int64_t sx = srcX, sy = srcY, dx = dstX, dy = dstY, w = width, h = height;
    if (!ClipSpan(sx, dx, w, m_width, destination.m_width) ||
        !ClipSpan(sy, dy, h, m_height, destination.m_height))
        return;
    // Everything now lies inside both buffers, so it fits in int again.
    srcX = int(sx);
    srcY = int(sy);
    dstX = int(dx);
    dstY = int(dy);
    width = int(w);
    height = int(h);

    if (&destination == this) {
        // Overlapping source and destination: go through a copy of the source rectangle.
        TImageBuffer scratch;
        if (!scratch.Allocate(width, height, m_format))
            return;
        CopyArea(scratch, srcX, srcY, 0, 0, width, height);
        scratch.FullyOpaque = FullyOpaque;
        scratch.CopyArea(destination, 0, 0, dstX, dstY, width, height);
        return;
    }

    for (int y = 0; y < height; ++y) {
        const uint8_t* src = RowPointer(srcY + y);
        uint8_t* dst = destination.RowPointer(dstY + y);
        if (bitCopy) {
            CopyBits(src, srcX, dst, dstX, width);
        } else if (bitsToRGB) {
            uint8_t* px = dst + size_t(dstX) * 3;
            for (int x = 0; x < width; ++x, px += 3)
                std::memset(px, GetBit(src, srcX + x) ? 0xFF : 0x00, 3);
        } else {
            const size_t bpp = size_t(m_bitCount / 8);
            std::memcpy(dst + size_t(dstX) * bpp, src + size_t(srcX) * bpp, size_t(width) * bpp);
        }
    }
    if (!FullyOpaque)
        destination.FullyOpaque = false;
}

void TImageBuffer::MoveArea(int x1, int y1, int x2, int y2, int dstX, int dstY, double fillValue) {
    if (IsEmpty())
        return;
    // Clip the rectangle to the buffer; its pixels keep their destination. 64 bits: the
    // corrections may carry a destination beyond the int range (it then copies nothing).
    int64_t dx = dstX, dy = dstY;
    if (x1 < 0) {
        dx -= x1;
        x1 = 0;
    }
    if (y1 < 0) {
        dy -= y1;
        y1 = 0;
    }
    x2 = std::min(x2, m_width - 1);
    y2 = std::min(y2, m_height - 1);
    if (x1 > x2 || y1 > y2)
        return;
    const int w = x2 - x1 + 1, h = y2 - y1 + 1;
    TImageBuffer scratch;
    if (!scratch.Allocate(w, h, m_format))
        return;
    CopyArea(scratch, x1, y1, 0, 0, w, h);
    scratch.FullyOpaque = FullyOpaque;
    FillArea(x1, y1, x2, y2, fillValue);
    auto toInt = [](int64_t v) {
        return int(std::clamp<int64_t>(v, std::numeric_limits<int>::min(),
                                       std::numeric_limits<int>::max()));
    };
    scratch.CopyArea(*this, 0, 0, toInt(dx), toInt(dy), w, h);
}

bool TImageBuffer::Resize(int width, int height) {
    if (IsEmpty())
        return false;
    if (width == m_width && height == m_height)
        return true;
    TImageBuffer next;
    next.m_rowAlignment = m_rowAlignment;
    if (!next.Allocate(width, height, m_format))
        return false;
    const size_t bytes = PixelBytes(std::min(width, m_width), m_bitCount);
    const int rows = std::min(height, m_height);
    for (int r = 0; r < rows; ++r)
        std::memcpy(next.RowPointer(r), RowPointer(r), bytes);
    if (m_palette && next.m_palette)
        std::memcpy(next.m_palette.get(), m_palette.get(), 256 * sizeof(TBGRTriple));
    AdoptPixelsOf(next);
    FullyOpaque = false;
    return true;
}

bool TImageBuffer::SetWidth(int width) {
    if (!Resize(width, m_height))
        return false;
    if (m_alpha && !m_alpha->Resize(m_width, m_height))
        m_alpha.reset();
    return true;
}

bool TImageBuffer::SetHeight(int height) {
    if (!Resize(m_width, height))
        return false;
    if (m_alpha && !m_alpha->Resize(m_width, m_height))
        m_alpha.reset();
    return true;
}

void TImageBuffer::CanvasSteps(int width, int height, double fill, int hAlign, int vAlign) {
    if (IsEmpty() || width < 1 || height < 1)
        return;
    const int oldW = m_width, oldH = m_height;
    auto shiftFor = [](int align, int difference) {
        return align == 1 ? difference / 2 : align == 2 ? difference : 0;
    };
    if (width < oldW) {
        const int shift = shiftFor(hAlign, oldW - width);
        if (shift)
            MoveArea(0, 0, oldW - 1, oldH - 1, -shift, 0, fill);
    }
    if (height < oldH) {
        const int shift = shiftFor(vAlign, oldH - height);
        if (shift)
            MoveArea(0, 0, oldW - 1, oldH - 1, 0, -shift, fill);
    }
    if (!Resize(width, height))
        return;
    bool isMaximum = false;
    if (width > oldW) {
        FillRect(oldW, 0, width - 1, height - 1, fill, isMaximum);
        const int shift = shiftFor(hAlign, width - oldW);
        if (shift)
            MoveArea(0, 0, oldW - 1, height - 1, shift, 0, fill);
    }
    if (height > oldH) {
        FillRect(0, oldH, width - 1, height - 1, fill, isMaximum);
        const int shift = shiftFor(vAlign, height - oldH);
        if (shift)
            MoveArea(0, 0, width - 1, oldH - 1, 0, shift, fill);
    }
}

void TImageBuffer::SetCanvasSize(int width, int height, double fill, int alphaFill, int hAlign,
                                 int vAlign) {
    CanvasSteps(width, height, fill, hAlign, vAlign);
    if (m_alpha) {
        m_alpha->CanvasSteps(width, height, alphaFill, hAlign, vAlign);
        // Only when memory ran out half way can the two differ; never keep a stale alpha.
        if (m_alpha->m_width != m_width || m_alpha->m_height != m_height)
            m_alpha.reset();
    }
}

// ---------------------------------------------------------------------------------------
// Masks

void TImageBuffer::CopyFromPixelMask(const TPixelMask* mask) {
    if (!mask) {
        Fill(255);
        return;
    }
    const int bits = mask->BitsPerPixel();
    if ((bits != 1 && bits != 8) || mask->Width() < 1 || mask->Height() < 1)
        return;
    // An alpha buffer stays pf8g: a 1-bit mask becomes 0 and 255 there.
    const bool expand = bits == 1 && IsAlpha;
    const TPixelFormatKind format = bits == 1 && !expand ? pf1g : pf8g;
    if (!Allocate(mask->Width(), mask->Height(), format))
        return;
    for (int r = 0; r < m_height; ++r) {
        const uint8_t* src = mask->RowPointer(r);
        uint8_t* dst = RowPointer(r);
        if (expand) {
            for (int x = 0; x < m_width; ++x)
                dst[x] = GetBit(src, x) ? 255 : 0;
        } else {
            std::memcpy(dst, src, size_t(std::min(m_rowLen, mask->RowLen())));
        }
    }
    FullyOpaque = false;
}

void TImageBuffer::CopyToPixelMask(TPixelMask& mask) const {
    if (IsEmpty())
        return;
    if (m_format == pf1g || m_format == pf8g) {
        if (!mask.Allocate(m_width, m_height, m_bitCount))
            return;
        const size_t bytes = PixelBytes(m_width, m_bitCount);
        for (int r = 0; r < m_height; ++r)
            std::memcpy(mask.RowPointer(r), RowPointer(r), bytes);
    } else if (m_format == pf24RGB) {
        if (!mask.Allocate(m_width, m_height, 8))
            return;
        for (int r = 0; r < m_height; ++r) {
            const uint8_t* px = RowPointer(r);
            uint8_t* dst = mask.RowPointer(r);
            for (int x = 0; x < m_width; ++x, px += 3)
                dst[x] = uint8_t(GrayOf(px[2], px[1], px[0]) >> 2);
        }
    } else {
        return;
    }
    mask.RecomputeBox();
}

// ---------------------------------------------------------------------------------------
// Pixels

TBGRTriple TImageBuffer::PixelAsRGB(int x, int y) const {
    if (IsEmpty() || x < 0 || y < 0 || x >= m_width || y >= m_height)
        return {};
    const uint8_t* row = RowPointer(y);
    auto grey = [](uint8_t v) { return TBGRTriple{v, v, v}; };
    switch (m_format) {
        case pfNoFormat:
            return {};
        case pf1g:
            return grey(GetBit(row, x) ? 255 : 0);
        case pf8p:
            return PaletteEntry(row[x]);
        case pf8g:
            return grey(row[x]);
        case pfGray16:
            return grey(row[size_t(x) * 2 + 1]);  // high byte of the little-endian word
        case pf24RGB:
        case pf32RGBX: {
            const uint8_t* px = row + size_t(x) * size_t(m_bitCount / 8);
            return {px[0], px[1], px[2]};
        }
        case pf32f: {
            float v;
            std::memcpy(&v, row + size_t(x) * 4, 4);
            const double scaled = std::trunc(double(v) * 255.0);
            return grey(uint8_t(std::isnan(scaled) ? 0.0 : std::clamp(scaled, 0.0, 255.0)));
        }
        case pfCMYK: {
            const uint8_t* px = row + size_t(x) * 4;
            return CMYKToRGB(px[0], px[1], px[2], px[3]);
        }
        case pfRGB48: {
            const uint8_t* px = row + size_t(x) * 6;
            return {px[5], px[3], px[1]};  // high bytes of blue, green, red
        }
        case pfCIELab: {
            const uint8_t* px = row + size_t(x) * 3;
            return CIELabToRGB(px[0], int8_t(px[1]), int8_t(px[2]));
        }
    }
    return {};
}

uint8_t TImageBuffer::GetPixel8(int x, int y) const {
    return RowPointer(y)[x];
}

void TImageBuffer::SetPixel8(int x, int y, uint8_t value) {
    RowPointer(y)[x] = value;
    if (value != 255)
        FullyOpaque = false;
}

uint16_t TImageBuffer::GetPixel16(int x, int y) const {
    const uint8_t* p = RowPointer(y) + size_t(x) * 2;
    return uint16_t(p[0] | (p[1] << 8));
}

void TImageBuffer::SetPixel16(int x, int y, uint16_t value) {
    uint8_t* p = RowPointer(y) + size_t(x) * 2;
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    if (value != 65535)
        FullyOpaque = false;
}

float TImageBuffer::GetPixelFloat(int x, int y) const {
    float v;
    std::memcpy(&v, RowPointer(y) + size_t(x) * 4, 4);
    return v;
}

void TImageBuffer::SetPixelFloat(int x, int y, float value) {
    std::memcpy(RowPointer(y) + size_t(x) * 4, &value, 4);
    if (!(value >= 1.0f))
        FullyOpaque = false;
}

TBGRTriple TImageBuffer::GetPixel24(int x, int y) const {
    const uint8_t* p = RowPointer(y) + size_t(x) * size_t(m_bitCount / 8);
    return {p[0], p[1], p[2]};
}

void TImageBuffer::SetPixel24(int x, int y, TBGRTriple value) {
    uint8_t* p = RowPointer(y) + size_t(x) * size_t(m_bitCount / 8);
    p[0] = value.rgbtBlue;
    p[1] = value.rgbtGreen;
    p[2] = value.rgbtRed;
    if (!(value == TBGRTriple{255, 255, 255}))
        FullyOpaque = false;
}

TRGB48Pixel TImageBuffer::GetPixel48(int x, int y) const {
    const uint8_t* p = RowPointer(y) + size_t(x) * 6;
    return {uint16_t(p[0] | (p[1] << 8)), uint16_t(p[2] | (p[3] << 8)),
            uint16_t(p[4] | (p[5] << 8))};
}

void TImageBuffer::SetPixel48(int x, int y, TRGB48Pixel value) {
    uint8_t* p = RowPointer(y) + size_t(x) * 6;
    const uint16_t words[3] = {value.r, value.g, value.b};
    for (int i = 0; i < 3; ++i) {
        p[2 * i] = uint8_t(words[i]);
        p[2 * i + 1] = uint8_t(words[i] >> 8);
    }
    if (!(value == TRGB48Pixel{65535, 65535, 65535}))
        FullyOpaque = false;
}

bool TImageBuffer::GetPixel1(int x, int y) const {
    return GetBit(RowPointer(y), x);
}

void TImageBuffer::SetPixel1(int x, int y, bool white) {
    PutBit(RowPointer(y), x, white);
    if (!white)
        FullyOpaque = false;
}

void TImageBuffer::RecheckOpaque() {
    const size_t bytes = PixelBytes(m_width, m_bitCount);
    for (int r = 0; r < m_height; ++r) {
        const uint8_t* row = RowPointer(r);
        if (std::any_of(row, row + bytes, [](uint8_t b) { return b != 255; })) {
            FullyOpaque = false;
            return;
        }
    }
    FullyOpaque = true;
}

bool TImageBuffer::IsGrayScale() const {
    if (IsEmpty())
        return true;
    auto grey = [](uint8_t b, uint8_t g, uint8_t r) { return b == g && g == r; };
    switch (m_format) {
        case pf8p:
            if (!m_palette)
                return true;
            for (int i = 0; i < 256; ++i)
                if (!grey(m_palette[i].rgbtBlue, m_palette[i].rgbtGreen, m_palette[i].rgbtRed))
                    return false;
            return true;
        case pf24RGB:
        case pf32RGBX: {
            const size_t bpp = size_t(m_bitCount / 8);
            for (int r = 0; r < m_height; ++r) {
                const uint8_t* px = RowPointer(r);
                for (int x = 0; x < m_width; ++x, px += bpp)
                    if (!grey(px[0], px[1], px[2]))
                        return false;
            }
            return true;
        }
        case pfRGB48:
            for (int r = 0; r < m_height; ++r) {
                const uint8_t* px = RowPointer(r);
                for (int x = 0; x < m_width; ++x, px += 6)
                    if (std::memcmp(px, px + 2, 2) != 0 || std::memcmp(px, px + 4, 2) != 0)
                        return false;
            }
            return true;
        default:
            return true;
    }
}

// ---------------------------------------------------------------------------------------
// Flips and turns

void TImageBuffer::FlipPixels(TFlipDirection direction) {
    if (IsEmpty())
        return;
    std::vector<uint8_t> scratch(static_cast<size_t>(m_rowLen));
    if (direction == fdVertical) {
        for (int top = 0, bottom = m_height - 1; top < bottom; ++top, --bottom) {
            uint8_t* a = RowPointer(top);
            uint8_t* b = RowPointer(bottom);
            std::memcpy(scratch.data(), a, size_t(m_rowLen));
            std::memcpy(a, b, size_t(m_rowLen));
            std::memcpy(b, scratch.data(), size_t(m_rowLen));
        }
        return;
    }
    const int w = m_width;
    if (m_format == pf1g) {
        // Bit by bit; the padding bits of the last byte stay at the end.
        for (int r = 0; r < m_height; ++r) {
            uint8_t* row = RowPointer(r);
            std::memcpy(scratch.data(), row, size_t(m_rowLen));
            for (int x = 0; x < w; ++x)
                PutBit(row, x, GetBit(scratch.data(), w - 1 - x));
        }
        return;
    }
    for (int r = 0; r < m_height; ++r) {
        uint8_t* row = RowPointer(r);
        switch (m_bitCount / 8) {
            case 1:
                std::reverse(row, row + w);
                break;
            case 2:
                ReversePixels<2>(row, w);
                break;
            case 3:
                ReversePixels<3>(row, w);
                break;
            case 4:
                ReversePixels<4>(row, w);
                break;
            case 6:
                ReversePixels<6>(row, w);
                break;
            default:
                break;
        }
    }
}

void TImageBuffer::Flip(TFlipDirection direction) {
    FlipPixels(direction);
    if (m_alpha)
        m_alpha->FlipPixels(direction);
}

bool TImageBuffer::TurnPixels(Turn turn) {
    if (IsEmpty())
        return true;
    const int w = m_width, h = m_height;
    TImageBuffer next;
    next.m_rowAlignment = m_rowAlignment;
    if (!next.Allocate(h, w, m_format))
        return false;
    // Destination (X, Y) reads source column sx (fixed per destination row) at row sy:
    // sx = Y or W-1-Y, sy = X or H-1-X, depending on the turn.
    const bool mirrorRows = turn == Turn::Cw || turn == Turn::Transverse;
    const bool mirrorCols = turn == Turn::Ccw || turn == Turn::Transverse;
    std::vector<const uint8_t*> rows(static_cast<size_t>(h));
    for (int y = 0; y < h; ++y)
        rows[size_t(mirrorRows ? h - 1 - y : y)] = RowPointer(y);
    const size_t bpp = size_t(m_bitCount / 8);
    for (int Y = 0; m_format == pf1g && Y < w; ++Y) {
        uint8_t* dst = next.RowPointer(Y);
        const int sx = mirrorCols ? w - 1 - Y : Y;
        std::memset(dst, 0, size_t(next.m_rowLen));
        for (int X = 0; X < h; ++X)
            if (GetBit(rows[size_t(X)], sx))
                PutBit(dst, X, true);
    }
    if (m_format != pf1g) {
        switch (bpp) {
            case 1:
                TurnTiles<1>(rows, next, w, mirrorCols);
                break;
            case 2:
                TurnTiles<2>(rows, next, w, mirrorCols);
                break;
            case 3:
                TurnTiles<3>(rows, next, w, mirrorCols);
                break;
            case 4:
                TurnTiles<4>(rows, next, w, mirrorCols);
                break;
            case 6:
                TurnTiles<6>(rows, next, w, mirrorCols);
                break;
            default:
                return false;
        }
    }
    if (m_palette && next.m_palette)
        std::memcpy(next.m_palette.get(), m_palette.get(), 256 * sizeof(TBGRTriple));
    AdoptPixelsOf(next);  // FullyOpaque stays: the samples are the same
    return true;
}

void TImageBuffer::ApplyTurn(Turn turn) {
    if (!TurnPixels(turn))
        return;
    if (m_alpha && !m_alpha->TurnPixels(turn))
        m_alpha.reset();
}

void TImageBuffer::Rotate(int degrees) {
    if (degrees == 90)
        ApplyTurn(Turn::Ccw);
    else if (degrees == -90)
        ApplyTurn(Turn::Cw);
}

void TImageBuffer::ApplyOrientation(int orientation) {
    switch (orientation) {
        case 2:
            Flip(fdHorizontal);
            break;
        case 3:
            Flip(fdVertical);
            Flip(fdHorizontal);
            break;
        case 4:
            Flip(fdVertical);
            break;
        case 5:
            ApplyTurn(Turn::Transpose);
            break;
        case 6:
            ApplyTurn(Turn::Cw);
            break;
        case 7:
            ApplyTurn(Turn::Transverse);
            break;
        case 8:
            ApplyTurn(Turn::Ccw);
            break;
        default:
            break;
    }
}

}  // namespace morvane
