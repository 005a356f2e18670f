#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imagebuffer.h"
#include "imageproc.h"
#include "imagingdefs.h"

namespace morvane {

class TImageDocument;

// How a layer's colours combine with what lies below; only the normal operation is used.
enum TLayerBlend : uint8_t {
    lbNormal = 0,
};

// One layer of a document; it owns its buffer. Positions and sizes are in pixels of
// layer 0.
class TImageLayer {
public:
    explicit TImageLayer(TImageDocument* owner);

    // Back to the settings of a new layer (layer 0 keeps its frame hidden and stays locked).
    void ResetSettings(bool isBackground);

    // DisplayWidth / DisplayHeight when non-zero, else the buffer's size.
    int32_t LayerWidth() const;
    int32_t LayerHeight() const;

    int32_t DisplayWidth = 0, DisplayHeight = 0;  // 0: the buffer's own size
    double Angle = 0;                             // degrees; whole turns stored as 0
    TImageDocument* Owner = nullptr;
    TImageBuffer LayerBitmap;
    bool LayerVisible = true;
    bool ShowFrame = true;     // display only
    int32_t LayerOpacity = 255;  // 0..255, 255 opaque
    int32_t LayerX = 0, LayerY = 0;
    int32_t DrawnLeft = 0, DrawnTop = 0, DrawnRight = 0, DrawnBottom = 0;  // display only
    bool ClipToBackground = false;  // cut to layer 0, never enlarges a merge
    bool Locked = false;            // display only
    bool Selectable = true;
    TLayerBlend BlendOperation = lbNormal;
    TResampleFilter ResampleFilter = rfNone;  // used for a display size when UseResampleFilter
    bool UseResampleFilter = false;
    std::string Name;
    bool IsMaskLayer = false;  // the mask of the layer below; removed with it
    double RotationCenterX = 0.5, RotationCenterY = 0.5;
    std::array<uint8_t, 16> Identity{};  // a new random GUID per layer
};

// The layered image document. Layer 0 always exists; loaders and processors act on
// CurrentBuffer(). The document keeps every buffer in memory (no platform bitmaps).
class TImageDocument {
public:
    TImageDocument();
    ~TImageDocument();
    TImageDocument(const TImageDocument&) = delete;
    TImageDocument& operator=(const TImageDocument&) = delete;

    int LayerCount() const { return int(m_layers.size()); }
    // The layer at `index` (0 = background); nullptr for an index outside the list.
    TImageLayer* LayerAt(int index);
    const TImageLayer* LayerAt(int index) const;
    // LayerWidth/LayerHeight of the layer at `index`; 0 for an index outside the list.
    int32_t LayerWidth(int index) const;
    int32_t LayerHeight(int index) const;

    int CurrentLayer() const { return m_current; }
    // Indexes outside the list and the current one are ignored; a layer that is not
    // Selectable gives way to the next lower one.
    void CurrentLayer(int index);
    TImageBuffer& CurrentBuffer();

    // Appends a layer shaped like CurrentBuffer, filled with Background, and makes it
    // current. Returns its index.
    int AddLayer();
    // Removes one layer and the mask layer above it; never the last remaining layer.
    void RemoveLayer(int index);
    // Keeps only layer 0, with default settings, blanked to Background at its size.
    void RemoveAllLayers();
    void FillWithBackground();
    // Draws every visible layer into one pf24RGB image without alpha, which becomes layer
    // 0's buffer; the canvas grows to hold layers outside layer 0. Other layers go.
    void MergeAllLayers();

    // The document's processor, created on first use with the document as its owner.
    TImageProcessor& Proc();

    // Resolution of the document's image, passed on by the loader.
    void SetResolution(int dpiX, int dpiY);
    int DpiX() const { return m_dpiX; }
    int DpiY() const { return m_dpiY; }
    // Called by the loader and the processor when the current image changed.
    void ImageChanged() {}

    TColor Background = MakeColor(240, 240, 240);
    bool EnableAlphaChannel = true;
    bool LegacyBitmap = false;  // no platform bitmaps in this build
    TResampleFilter DisplayFilter = rfNone;  // for layers drawn at another size
    // Passed on to the processor.
    TProgressEvent OnProgress;
    TNotifyEvent OnFinishWork;

private:
    void DrawLayer(TImageLayer& layer, TImageBuffer& canvas, int64_t ox, int64_t oy);

    std::vector<std::unique_ptr<TImageLayer>> m_layers;
    int m_current = 0;
    int m_dpiX = 300, m_dpiY = 300;
    std::unique_ptr<TImageProcessor> m_proc;
};

}  // namespace morvane
