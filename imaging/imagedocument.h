#pragma once

#include <memory>
#include <vector>

#include "imagebuffer.h"
#include "imagingdefs.h"

namespace morvane {

class TImageDocument;

// One layer of a document; it owns its buffer.
class TImageLayer {
public:
    explicit TImageLayer(TImageDocument* owner) : Owner(owner) {}

    TImageDocument* Owner = nullptr;
    TImageBuffer LayerBitmap;
    int32_t DisplayWidth = 0, DisplayHeight = 0;
    double Angle = 0;
    bool LayerVisible = true;
    int32_t LayerOpacity = 255;
    int32_t LayerX = 0, LayerY = 0;
    bool ClipToBackground = false;
    bool Selectable = true;
};

// The layered image document. Layer 0 always exists; loaders and processors act on
// CurrentBuffer().
class TImageDocument {
public:
    TImageDocument();
    ~TImageDocument();

    int LayerCount() const { return int(m_layers.size()); }
    TImageLayer* LayerAt(int index);
    TImageBuffer& CurrentBuffer();

    // Resolution of the document's image, passed on by the loader.
    void SetResolution(int dpiX, int dpiY);
    int DpiX() const { return m_dpiX; }
    int DpiY() const { return m_dpiY; }
    // Called by the loader when the current image changed.
    void ImageChanged() {}

    TColor Background = MakeColor(240, 240, 240);

private:
    std::vector<std::unique_ptr<TImageLayer>> m_layers;
    int m_current = 0;
    int m_dpiX = 300, m_dpiY = 300;
};

}  // namespace morvane
