#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "imagingdefs.h"

namespace morvane {

// A small 1- or 8-bit raster used by readers (alpha masks) and selection code.
// Rows are bottom-up in one heap block with a 32-bit aligned stride.
class TPixelMask {
  public:
    TPixelMask() = default;
    TPixelMask(int width, int height, int bitsPerPixel) { Allocate(width, height, bitsPerPixel); }

    // bitsPerPixel is 1 or 8. Returns false (and leaves an empty mask) on bad sizes or no memory.
    bool Allocate(int width, int height, int bitsPerPixel);
    void SetPixel(int x, int y, int value);  // points outside are ignored
    int GetPixel(int x, int y) const;
    // Sets every pixel; FullyOpaque when the value is the maximum (255, or non-zero at 1 bit).
    void Fill(int value);
    void Clear();  // fill 0 and empty the box
    // Recomputes the bounding box from the pixels (after rows were written directly).
    void RecomputeBox();
    uint8_t* RowPointer(int row);
    const uint8_t* RowPointer(int row) const;

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    int BitsPerPixel() const { return m_bits; }
    int RowLen() const { return m_rowLen; }
    bool IsEmptyBox() const { return X1 == kEmptyBox; }

    static constexpr int32_t kEmptyBox = INT32_MAX;
    // Bounding box of the non-zero pixels; empty when X1 == kEmptyBox.
    int32_t X1 = kEmptyBox, Y1 = kEmptyBox, X2 = -1, Y2 = -1;
    bool FullyOpaque = false;

  private:
    int m_width = 0, m_height = 0, m_bits = 0, m_rowLen = 0;
    std::unique_ptr<uint8_t[]> m_data;
};

// The abstract buffer interface; TImageBuffer is its only implementation here.
class TImageBufferBase {
  public:
    virtual ~TImageBufferBase() = default;
    virtual uint8_t* RowPointer(int row) = 0;
    virtual int BitCount() const = 0;
    virtual int Height() const = 0;
    virtual int Width() const = 0;
    virtual TPixelFormatKind PixelFormat() const = 0;
    virtual int RowLen() const = 0;
    virtual TBGRTriple PaletteEntry(int index) const = 0;
    virtual void PaletteEntry(int index, TBGRTriple value) = 0;
    virtual int PaletteLength() const = 0;
    virtual bool Allocate(int width, int height, TPixelFormatKind format) = 0;
    virtual void Assign(const class TImageBuffer& source) = 0;
    virtual void CopyPaletteTo(class TImageBuffer& destination) const = 0;
};

// Bit and channel counts of each pixel format, indexed by TPixelFormatKind.
int FormatBitCount(TPixelFormatKind format);
int FormatChannelCount(TPixelFormatKind format);

// The image raster. Rows are addressed through RowPointer (row 0 is the top row);
// nobody outside the buffer computes addresses from the stride.
class TImageBuffer : public TImageBufferBase {
  public:
    TImageBuffer();
    TImageBuffer(int width, int height, TPixelFormatKind format);
    ~TImageBuffer() override;
    TImageBuffer(const TImageBuffer&) = delete;
    TImageBuffer& operator=(const TImageBuffer&) = delete;

    // --- geometry and storage ---
    // Allocates width x height pixels of `format`; pixel contents are undefined.
    // Keeps pixels and alpha when geometry is unchanged and NeedsReallocate is clear.
    // Never throws: a byte count that overflows 64 bits, a row longer than 2 GiB or
    // memory that cannot be had gives false and an empty (0 x 0, pfNoFormat) buffer.
    bool Allocate(int width, int height, TPixelFormatKind format) override;
    void FreeImage();  // releases pixels, palette and alpha; the buffer becomes empty

    uint8_t* RowPointer(int row) override;
    const uint8_t* RowPointer(int row) const;
    std::span<uint8_t> Row(int row) { return {RowPointer(row), size_t(m_rowLen)}; }
    std::span<const uint8_t> Row(int row) const { return {RowPointer(row), size_t(m_rowLen)}; }

    int Width() const override { return m_width; }
    int Height() const override { return m_height; }
    TPixelFormatKind PixelFormat() const override { return m_format; }
    int BitCount() const override { return m_bitCount; }
    int ChannelCount() const { return m_channelCount; }
    int RowLen() const override { return m_rowLen; }
    bool IsEmpty() const { return m_base == nullptr; }

    // Converts the pixels into `format` (one scratch copy; the alpha buffer survives).
    void PixelFormat(TPixelFormatKind format);
    // Writes `source`'s pixels converted into this buffer's format; hands the source's
    // alpha buffer to this one. Nothing happens when the sizes differ.
    void ConvertFrom(TImageBuffer& source);

    // Where the pixels live. Only lkInMemory is placed: setting lkInMemory keeps the pixels
    // (they are in memory already) and sets NeedsReallocate; other locations are ignored.
    TLocationKind Location() const { return m_location; }
    void Location(TLocationKind location);

    // Row alignment in bits (default 32); takes effect at the next Allocate. Values that
    // are not a positive multiple of 8 are ignored (they would give rows too short for
    // their pixels).
    int RowAlignment() const { return m_rowAlignment; }
    void RowAlignment(int bits);

    // --- copying ---
    void Assign(const TImageBuffer& source) override;

    // --- palette ---
    TBGRTriple PaletteEntry(int index) const override;
    void PaletteEntry(int index, TBGRTriple value) override;
    int PaletteLength() const override { return m_palette ? 256 : 0; }
    TBGRTriple* Palette() { return m_palette.get(); }
    const TBGRTriple* Palette() const { return m_palette.get(); }
    void CopyPaletteTo(TImageBuffer& destination) const override;

    // --- alpha ---
    // The alpha buffer, created lazily (pf8g at this buffer's size, filled with 255,
    // FullyOpaque). Returns nullptr for an alpha buffer itself, and when no alpha buffer
    // can be allocated (this buffer is empty, or memory is short).
    TImageBuffer* Alpha();
    bool HasAlpha() const { return m_alpha != nullptr; }
    const TImageBuffer* AlphaIfAny() const { return m_alpha.get(); }
    // True when there is an alpha buffer that is not flagged FullyOpaque.
    bool HasTransparency() const { return m_alpha && !m_alpha->FullyOpaque; }
    // Hands over an alpha buffer; nullptr discards the current one. The buffer must be
    // pf8g of this buffer's size (it is flagged IsAlpha); otherwise nothing changes and
    // the result is false.
    bool SetAlpha(std::unique_ptr<TImageBuffer> alpha);
    // Removes the alpha buffer and gives it to the caller (nullptr when there is none).
    std::unique_ptr<TImageBuffer> TakeAlpha();
    // Discards the alpha buffer; with `blend`, a pf24RGB image is first composed over
    // `background` as bg + floor(alpha * (c - bg) / 256).
    void DropAlpha(bool blend, TColor background);

    // --- filling and areas ---
    // Fill value: pf1g non-zero = white; pf8p/pf8g/pfGray16 Trunc(value); pf32f the value;
    // colour formats Trunc(value) as a platform colour (pf32RGBX keeps its fourth byte).
    void Fill(double value);
    // Inclusive rectangle, clamped to the buffer; a value below the format's maximum
    // clears FullyOpaque.
    void FillArea(int x1, int y1, int x2, int y2, double value);
    // Copies a width x height rectangle into `destination`, clipped to both buffers.
    // Supported: equal formats, pf1g to pf1g (bits) and pf1g to pf24RGB; others copy nothing.
    void CopyArea(TImageBuffer& destination, int srcX, int srcY, int dstX, int dstY, int width,
                  int height) const;
    // Moves the inclusive rectangle to (dstX, dstY); what it uncovers gets fillValue.
    void MoveArea(int x1, int y1, int x2, int y2, int dstX, int dstY, double fillValue);
    // Reallocate keeping the top-left part; new pixels are undefined. The alpha buffer
    // follows. False (and nothing changed) when the new size cannot be allocated.
    bool SetWidth(int width);
    bool SetHeight(int height);
    // Alignments: 0 left/top, 1 centre, 2 right/bottom.
    void SetCanvasSize(int width, int height, double fill, int alphaFill, int hAlign, int vAlign);

    // --- masks ---
    // A 1-bit mask becomes pf1g, an 8-bit one pf8g, at the mask's size; nullptr fills 255.
    void CopyFromPixelMask(const TPixelMask* mask);
    // pf1g gives a 1-bit mask, pf8g an 8-bit one, pf24RGB an 8-bit mask of grey >> 2;
    // other formats leave the mask untouched.
    void CopyToPixelMask(TPixelMask& mask) const;

    // --- pixels ---
    // The accessors expect 0 <= x < Width and 0 <= y < Height. Writes of a value below
    // the maximum (255, 65535, 1.0, white, black bit) clear FullyOpaque. The 24-bit pair
    // steps by the pixel size, so it also reads the first three bytes of pf32RGBX.
    TBGRTriple PixelAsRGB(int x, int y) const;
    uint8_t GetPixel8(int x, int y) const;
    void SetPixel8(int x, int y, uint8_t value);
    uint16_t GetPixel16(int x, int y) const;
    void SetPixel16(int x, int y, uint16_t value);
    float GetPixelFloat(int x, int y) const;
    void SetPixelFloat(int x, int y, float value);
    TBGRTriple GetPixel24(int x, int y) const;
    void SetPixel24(int x, int y, TBGRTriple value);
    TRGB48Pixel GetPixel48(int x, int y) const;
    void SetPixel48(int x, int y, TRGB48Pixel value);
    bool GetPixel1(int x, int y) const;
    void SetPixel1(int x, int y, bool white);

    void RecheckOpaque();
    bool IsGrayScale() const;

    // --- geometry transforms ---
    // Mirrors the image and its alpha buffer (horizontal: any whole-byte format and pf1g).
    void Flip(TFlipDirection direction);
    // +90 counter-clockwise, -90 clockwise; pf1g and whole-byte formats; the alpha buffer
    // turns with the image. Other angles do nothing.
    void Rotate(int degrees);
    // Brings an image stored with TIFF/Exif orientation 1..8 upright; other values nothing.
    void ApplyOrientation(int orientation);

    // --- published fields ---
    uint8_t RowAccess = 3;  // bit 0 read, bit 1 write
    bool IsAlpha = false;
    bool FullyOpaque = false;
    bool NeedsReallocate = true;
    uint64_t TempFileThreshold = 0;
    TMonoMethod MonoMethod = mmThreshold;
    int32_t PaletteColors = 256;
    uint8_t AllocatorKind = 2;

  private:
    enum class Turn : uint8_t { Ccw, Cw, Transpose, Transverse };

    void ReleaseStorage();
    void AdoptPixelsOf(TImageBuffer& other);  // moves storage, keeps this buffer's alpha
    void FillRect(int x1, int y1, int x2, int y2, double value, bool& isMaximum);
    bool Resize(int width, int height);  // keeps the top-left part; alpha untouched
    void CanvasSteps(int width, int height, double fill, int hAlign, int vAlign);
    void FlipPixels(TFlipDirection direction);
    bool TurnPixels(Turn turn);
    void ApplyTurn(Turn turn);

    std::unique_ptr<TBGRTriple[]> m_palette;
    std::unique_ptr<TImageBuffer> m_alpha;
    std::unique_ptr<uint8_t[]> m_rawBlock;
    uint8_t* m_base = nullptr;
    int32_t m_width = 0, m_height = 0;
    int32_t m_bitCount = 0, m_channelCount = 0, m_rowLen = 0;
    TPixelFormatKind m_format = pfNoFormat;
    TLocationKind m_location = lkTempFile;
    int32_t m_rowAlignment = 32;
};

// Row length in bytes for a width, a bit count and a row alignment in bits.
int64_t ComputeRowLen(int64_t width, int bitCount, int alignmentBits);

}  // namespace morvane
