#include "imagedocument.h"

namespace morvane {

TImageDocument::TImageDocument() {
    m_layers.push_back(std::make_unique<TImageLayer>(this));
}

TImageDocument::~TImageDocument() = default;

TImageLayer* TImageDocument::LayerAt(int index) {
    if (index < 0 || index >= LayerCount()) return nullptr;
    return m_layers[size_t(index)].get();
}

TImageBuffer& TImageDocument::CurrentBuffer() { return m_layers[size_t(m_current)]->LayerBitmap; }

void TImageDocument::SetResolution(int dpiX, int dpiY) {
    m_dpiX = dpiX;
    m_dpiY = dpiY;
}

}  // namespace morvane
