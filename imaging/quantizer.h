#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "imagebuffer.h"
#include "imagingdefs.h"

namespace morvane {

// Process-wide quantizer settings, set at start-up and read when a quantizer is created.
// QuantizerMethod: -1 automatic (NeuQuant from 128 colours up, box splitting below),
// 0 always NeuQuant, 1 always box splitting.
// NeuQuantQuality: -1 chooses the sampling factor from the image size; 0..100 otherwise
// (100 trains on every pixel).
inline int QuantizerMethod = -1;
inline int NeuQuantQuality = -1;

namespace detail {
class NeuQuantNet;
class BoxSplitter;
}  // namespace detail

// Builds a palette of at most `colorCount` entries for an image and maps colours to it.
// The palette is chosen, in this order: a grey ramp for grey sources, a pf8p source's own
// palette, the image's exact colours (in order of first appearance) when there are few
// enough, else a reduction (NeuQuant or box splitting over a 32 x 32 x 32 histogram).
class TColorQuantizer {
public:
    // `source` is referenced, not owned: it must outlive the quantizer and stay unchanged
    // while colours are mapped. `palette` (caller's, room for 256 entries) receives entries
    // 0 .. ColorCount() - 1; later entries are left as they were. `ignored` has no effect.
    // `colorCount` is clamped to 1..256.
    TColorQuantizer(const TImageBuffer& source, TBGRTriple* palette, int ignored,
                    int colorCount);
    ~TColorQuantizer();
    TColorQuantizer(const TColorQuantizer&) = delete;
    TColorQuantizer& operator=(const TColorQuantizer&) = delete;

    // Palette index of a colour given as red * 65536 + green * 256 + blue. Meant for colours
    // of the source: a colour missing from an exact colour list gives -1, one missing from a
    // palette source's palette gives the palette's length (256).
    int ColorIndex(int color) const;
    // Whether the source was grey (TImageBuffer::IsGrayScale) when the quantizer was made.
    bool SourceIsGray() const { return m_sourceIsGray; }
    // Number of palette entries written (0 for a source that fits no case).
    int ColorCount() const { return m_produced; }

private:
    enum class Mode { None, GrayRamp, SourcePalette, ExactList, NeuQuant, BoxSplit };

    void CollectOrReduce(TBGRTriple* palette);
    int ExactIndex(uint32_t rgb) const;

    Mode m_mode = Mode::None;
    std::unique_ptr<detail::NeuQuantNet> m_neuQuant;
    std::unique_ptr<detail::BoxSplitter> m_boxes;
    bool m_sourceIsGray = false;
    // Exact colour list as an open-addressed table: colour (0xRRGGBB) -> index.
    std::vector<uint32_t> m_exactKeys;
    std::vector<int16_t> m_exactIndex;
    int m_colorCount = 0;
    int m_produced = 0;
    const TImageBuffer& m_source;
};

}  // namespace morvane
