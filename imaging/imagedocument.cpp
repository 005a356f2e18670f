#include "imagedocument.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace morvane {

namespace {

std::array<uint8_t, 16> NewIdentity() {
    std::random_device device;
    std::array<uint8_t, 16> id{};
    for (size_t i = 0; i < id.size(); i += 4) {
        const uint32_t r = device();
        std::memcpy(id.data() + i, &r, 4);
    }
    id[6] = uint8_t((id[6] & 0x0F) | 0x40);  // RFC 4122 version 4
    id[8] = uint8_t((id[8] & 0x3F) | 0x80);
    return id;
}

// Converts `count` pixels of row `y`, starting at column `x`, to blue, green, red bytes.
// Returns the pf24RGB row itself where no conversion is needed.
const uint8_t* RowAsBGR(const TImageBuffer& buffer, int y, int x, int count,
                        std::vector<uint8_t>& scratch) {
    const uint8_t* row = buffer.RowPointer(y);
    if (buffer.PixelFormat() == pf24RGB) return row + size_t(x) * 3;
    scratch.resize(size_t(count) * 3);
    uint8_t* out = scratch.data();
    for (int i = 0; i < count; ++i) {
        const int sx = x + i;
        TBGRTriple c;
        switch (buffer.PixelFormat()) {
            case pf1g: {
                const uint8_t v = (row[sx >> 3] & (0x80 >> (sx & 7))) ? 255 : 0;
                c = {v, v, v};
                break;
            }
            case pf8g:
                c = {row[sx], row[sx], row[sx]};
                break;
            case pf8p:
                c = buffer.PaletteEntry(row[sx]);
                break;
            case pf32RGBX:
                c = {row[4 * sx], row[4 * sx + 1], row[4 * sx + 2]};
                break;
            default:
                c = buffer.PixelAsRGB(sx, y);
                break;
        }
        out[3 * i] = c.rgbtBlue;
        out[3 * i + 1] = c.rgbtGreen;
        out[3 * i + 2] = c.rgbtRed;
    }
    return out;
}

// d + floor((s - d) * a / 256) per channel, with a = weights[i] for pixel i.
void BlendRow(uint8_t* __restrict dst, const uint8_t* __restrict src,
              const uint8_t* __restrict weights, int count) {
    for (int i = 0; i < count; ++i) {
        const int32_t a = weights[i];
        for (int c = 0; c < 3; ++c) {
            const int32_t d = dst[3 * i + c];
            dst[3 * i + c] = uint8_t(d + (((int32_t(src[3 * i + c]) - d) * a) >> 8));
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// TImageLayer

TImageLayer::TImageLayer(TImageDocument* owner) : Owner(owner), Identity(NewIdentity()) {}

void TImageLayer::ResetSettings(bool isBackground) {
    DisplayWidth = DisplayHeight = 0;
    Angle = 0;
    LayerVisible = true;
    ShowFrame = !isBackground;
    LayerOpacity = 255;
    LayerX = LayerY = 0;
    DrawnLeft = DrawnTop = DrawnRight = DrawnBottom = 0;
    ClipToBackground = false;
    Locked = isBackground;
    Selectable = true;
    BlendOperation = lbNormal;
    ResampleFilter = rfNone;
    UseResampleFilter = false;
    Name.clear();
    IsMaskLayer = false;
    RotationCenterX = RotationCenterY = 0.5;
}

int32_t TImageLayer::LayerWidth() const {
    return DisplayWidth != 0 ? DisplayWidth : LayerBitmap.Width();
}

int32_t TImageLayer::LayerHeight() const {
    return DisplayHeight != 0 ? DisplayHeight : LayerBitmap.Height();
}

// ---------------------------------------------------------------------------------------
// TImageDocument

TImageDocument::TImageDocument() {
    m_layers.push_back(std::make_unique<TImageLayer>(this));
    m_layers[0]->ResetSettings(true);
}

TImageDocument::~TImageDocument() = default;

TImageLayer* TImageDocument::LayerAt(int index) {
    if (index < 0 || index >= LayerCount()) return nullptr;
    return m_layers[size_t(index)].get();
}

const TImageLayer* TImageDocument::LayerAt(int index) const {
    if (index < 0 || index >= LayerCount()) return nullptr;
    return m_layers[size_t(index)].get();
}

int32_t TImageDocument::LayerWidth(int index) const {
    const TImageLayer* layer = LayerAt(index);
    return layer ? layer->LayerWidth() : 0;
}

int32_t TImageDocument::LayerHeight(int index) const {
    const TImageLayer* layer = LayerAt(index);
    return layer ? layer->LayerHeight() : 0;
}

TImageBuffer& TImageDocument::CurrentBuffer() { return m_layers[size_t(m_current)]->LayerBitmap; }

void TImageDocument::CurrentLayer(int index) {
    if (index < 0 || index >= LayerCount() || index == m_current) return;
    while (index > 0 && !m_layers[size_t(index)]->Selectable) --index;
    m_current = index;
}

TImageProcessor& TImageDocument::Proc() {
    if (!m_proc) {
        m_proc = std::make_unique<TImageProcessor>(this);
        // Forward to the document's handlers as they are at the time of the event.
        m_proc->OnProgress = [this](void* sender, int percent) {
            if (OnProgress) OnProgress(sender, percent);
        };
        m_proc->OnFinishWork = [this](void* sender) {
            if (OnFinishWork) OnFinishWork(sender);
        };
    }
    return *m_proc;
}

void TImageDocument::SetResolution(int dpiX, int dpiY) {
    m_dpiX = dpiX;
    m_dpiY = dpiY;
}

void TImageDocument::FillWithBackground() {
    TImageBuffer& buffer = CurrentBuffer();
    if (!buffer.IsEmpty()) buffer.Fill(double(Background));
    ImageChanged();
}

int TImageDocument::AddLayer() {
    TImageBuffer& current = CurrentBuffer();
    auto layer = std::make_unique<TImageLayer>(this);
    if (layer->LayerBitmap.Location() != current.Location())
        layer->LayerBitmap.Location(current.Location());
    if (!current.IsEmpty())
        layer->LayerBitmap.Allocate(current.Width(), current.Height(), current.PixelFormat());
    layer->ResetSettings(false);
    m_layers.push_back(std::move(layer));
    m_current = LayerCount() - 1;
    FillWithBackground();
    return m_current;
}

void TImageDocument::RemoveLayer(int index) {
    if (LayerCount() < 2 || index < 0 || index >= LayerCount()) return;
    int count = 1;
    // A mask layer belongs to the layer below it; keep at least one layer in the list.
    if (index + 1 < LayerCount() && m_layers[size_t(index) + 1]->IsMaskLayer &&
        LayerCount() > 2)
        count = 2;
    m_layers.erase(m_layers.begin() + index, m_layers.begin() + index + count);
    if (m_current >= index && m_current < index + count) {
        m_current = std::min(index, LayerCount() - 1);
    } else if (m_current >= index + count) {
        m_current -= count;
    }
}

void TImageDocument::RemoveAllLayers() {
    while (LayerCount() > 1) m_layers.pop_back();
    m_current = 0;
    m_layers[0]->ResetSettings(true);
    FillWithBackground();
}

void TImageDocument::DrawLayer(TImageLayer& layer, TImageBuffer& canvas, int64_t ox, int64_t oy) {
    const int64_t tw = layer.LayerWidth(), th = layer.LayerHeight();
    if (tw < 1 || th < 1) return;
    const int64_t tx = ox + layer.LayerX, ty = oy + layer.LayerY;

    // Target rectangle cut to the canvas, and to layer 0 for ClipToBackground.
    int64_t left = std::max<int64_t>(tx, 0), top = std::max<int64_t>(ty, 0);
    int64_t right = std::min<int64_t>(tx + tw, canvas.Width());
    int64_t bottom = std::min<int64_t>(ty + th, canvas.Height());
    if (layer.ClipToBackground) {
        const TImageLayer& base = *m_layers[0];
        const int64_t bx = ox + base.LayerX, by = oy + base.LayerY;
        left = std::max(left, bx);
        top = std::max(top, by);
        right = std::min(right, bx + base.LayerWidth());
        bottom = std::min(bottom, by + base.LayerHeight());
    }
    if (left >= right || top >= bottom) return;

    // A layer drawn at another size is resampled first.
    TImageBuffer* source = &layer.LayerBitmap;
    TImageBuffer scaled;
    if (tw != source->Width() || th != source->Height()) {
        const TResampleFilter filter = layer.UseResampleFilter ? layer.ResampleFilter : DisplayFilter;
        ResampleInto(*source, scaled, int32_t(tw), int32_t(th), filter);
        if (scaled.IsEmpty()) return;
        source = &scaled;
    }
    const TImageBuffer* alpha = source->AlphaIfAny();
    if (alpha && (alpha->Width() != source->Width() || alpha->Height() != source->Height()))
        return;

    const int32_t opacity = std::clamp(layer.LayerOpacity, 0, 255);
    const bool alphaCounts = EnableAlphaChannel && source->HasTransparency();
    const int count = int(right - left);
    const int sx = int(left - tx);
    std::vector<uint8_t> scratch;
    // Opacity stands in for the alpha of a layer without one, so both run the same blend.
    std::vector<uint8_t> weights(size_t(count), static_cast<uint8_t>(opacity));
    for (int64_t y = top; y < bottom; ++y) {
        const int sy = int(y - ty);
        const uint8_t* src = RowAsBGR(*source, sy, sx, count, scratch);
        uint8_t* dst = canvas.RowPointer(int(y)) + size_t(left) * 3;
        if (opacity == 255 && !alphaCounts) {
            std::memcpy(dst, src, size_t(count) * 3);
            continue;
        }
        if (alphaCounts) {
            const uint8_t* a = alpha->RowPointer(sy) + sx;
            for (int i = 0; i < count; ++i) weights[size_t(i)] = std::min<uint8_t>(uint8_t(opacity), a[i]);
        }
        BlendRow(dst, src, weights.data(), count);
    }
}

void TImageDocument::MergeAllLayers() {
    // Canvas: layer 0's rectangle grown by every layer not clipped to it; layers at
    // negative positions shift the origin.
    const TImageLayer& base = *m_layers[0];
    int64_t right = int64_t(base.LayerX) + base.LayerWidth();
    int64_t bottom = int64_t(base.LayerY) + base.LayerHeight();
    int64_t ox = 0, oy = 0;
    for (const auto& layer : m_layers) {
        if (layer->ClipToBackground) continue;
        right = std::max(right, int64_t(layer->LayerX) + layer->LayerWidth());
        bottom = std::max(bottom, int64_t(layer->LayerY) + layer->LayerHeight());
        if (layer->LayerX < 0) ox = std::max(ox, -int64_t(layer->LayerX));
        if (layer->LayerY < 0) oy = std::max(oy, -int64_t(layer->LayerY));
    }
    const int64_t width = ox + right, height = oy + bottom;

    TImageBuffer result;
    if (width >= 1 && height >= 1 && width <= INT32_MAX && height <= INT32_MAX &&
        result.Allocate(int32_t(width), int32_t(height), pf24RGB)) {
        result.Fill(double(Background));
        const TImageBuffer& current = CurrentBuffer();
        const TImageBuffer* currentAlpha = current.AlphaIfAny();
        const bool drawable =
            !current.IsEmpty() && current.Width() > 0 && current.Height() > 0 &&
            (!currentAlpha || (currentAlpha->Width() == current.Width() &&
                               currentAlpha->Height() == current.Height()));
        if (drawable) {
            for (const auto& layer : m_layers) {
                const TImageBuffer& b = layer->LayerBitmap;
                if (!layer->LayerVisible || b.IsEmpty() || (b.Width() < 2 && b.Height() < 2))
                    continue;
                DrawLayer(*layer, result, ox, oy);
            }
        }
    }

    while (LayerCount() > 1) m_layers.pop_back();
    m_current = 0;
    m_layers[0]->ResetSettings(true);
    m_layers[0]->LayerBitmap.Assign(result);
    ImageChanged();
}

}  // namespace morvane
