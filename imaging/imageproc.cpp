#include "imageproc.h"

#include <algorithm>
#include <cstdlib>

#include "imagedocument.h"

namespace morvane {

std::optional<TTargetSize> ResampleTargetSize(int32_t currentWidth, int32_t currentHeight,
                                              int32_t width, int32_t height) {
    if (width < 0 && height < 0) return std::nullopt;
    if (currentWidth < 1 || currentHeight < 1) return std::nullopt;
    // 64-bit so that neither h * W nor |INT32_MIN| overflows; the results are limited to
    // the 32-bit range (an allocation of such a size then fails cleanly).
    auto fit = [](int64_t v) { return int32_t(std::clamp<int64_t>(v, 1, INT32_MAX)); };
    int64_t w;
    if (width == -1) {
        w = int64_t(height) * currentWidth / currentHeight;
    } else if (width == 0) {
        w = currentWidth;
    } else {
        w = std::llabs(int64_t(width));
    }
    const int32_t newWidth = fit(w);
    int64_t h;
    if (height == -1) {
        h = int64_t(newWidth) * currentHeight / currentWidth;
    } else if (height == 0) {
        h = currentHeight;
    } else {
        h = std::llabs(int64_t(height));
    }
    return TTargetSize{newWidth, fit(h)};
}

TImageProcessor::TImageProcessor(TImageDocument* owner) : AutoUndo(owner != nullptr), m_document(owner) {}

TImageProcessor::~TImageProcessor() = default;

TImageBuffer* TImageProcessor::Image() {
    if (m_document) return &m_document->CurrentBuffer();
    return m_bitmap;
}

void TImageProcessor::SaveUndo(const TImageBuffer& image, std::string label) {
    if (UndoLimit <= 0) return;
    while (!m_undo.empty() && int(m_undo.size()) >= UndoLimit) m_undo.erase(m_undo.begin());
    auto copy = std::make_unique<TImageBuffer>();
    copy->Assign(image);
    m_undo.push_back({std::move(label), std::move(copy)});
}

void TImageProcessor::FinishWork() {
    if (OnProgress) OnProgress(this, 100);
    if (OnFinishWork) OnFinishWork(this);
}

void TImageProcessor::Resample(int32_t width, int32_t height, TResampleFilter filter) {
    TImageBuffer* image = Image();
    if (!image || image->IsEmpty()) return;
    const std::optional<TTargetSize> size =
        ResampleTargetSize(image->Width(), image->Height(), width, height);
    if (!size) return;

    if (AutoUndo && image->Width() >= 2 && image->Height() >= 2) {
        SaveUndo(*image, "Resample " + std::to_string(width) + "," + std::to_string(height));
    }

    TImageBuffer result;
    ResampleProgress progress;
    if (OnProgress) progress = [this](int percent) { OnProgress(this, percent); };
    ResampleInto(*image, result, size->Width, size->Height, filter, progress);

    FinishWork();
    image->Assign(result);
    if (result.HasAlpha()) {
        // Assign leaves the copied alpha not FullyOpaque; keep what the resampling said.
        TImageBuffer* alpha = image->Alpha();
        if (alpha) alpha->FullyOpaque = result.AlphaIfAny()->FullyOpaque;
    }
    if (m_document) m_document->ImageChanged();
    FinishWork();
}

}  // namespace morvane
