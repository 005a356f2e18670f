#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "imagebuffer.h"
#include "imagingdefs.h"

namespace morvane {

class TImageDocument;

// The same signatures as the I/O frame's events, so one handler serves both.
using TProgressEvent = std::function<void(void* sender, int percent)>;
using TNotifyEvent = std::function<void(void* sender)>;

// Progress of one resampling step: a percentage 0..100.
using ResampleProgress = std::function<void(int percent)>;

// The size a Resample(width, height) call produces from a width x height image, or
// nothing when the call does nothing (both arguments negative, or an empty image).
struct TTargetSize {
    int32_t Width = 0;
    int32_t Height = 0;
    friend bool operator==(const TTargetSize&, const TTargetSize&) = default;
};
std::optional<TTargetSize> ResampleTargetSize(int32_t currentWidth, int32_t currentHeight,
                                              int32_t width, int32_t height);

// Resamples `source` into `destination` at width x height pixels (both >= 1) with
// `filter`, alpha buffer included. `destination` is freed and allocated here; its format
// is the source's, except for pf1g sources (grey pf24RGB for the filtered paths) and the
// projections (pf1g). Formats a filter does not handle get an allocated destination whose
// pixels are not written. A failed allocation leaves `destination` empty (0 x 0).
// The source changes only where an alpha buffer marks pixels fully transparent: those
// pf24RGB pixels become (128, 128, 128) before the filters read them.
void ResampleInto(TImageBuffer& source, TImageBuffer& destination, int32_t width,
                  int32_t height, TResampleFilter filter, const ResampleProgress& progress = {});

// The image processor: operations that replace the pixels of its image, which is the
// attached document's current buffer, else the attached bitmap.
class TImageProcessor {
public:
    // A processor created with an owner is attached to it and keeps undo copies.
    explicit TImageProcessor(TImageDocument* owner = nullptr);
    ~TImageProcessor();
    TImageProcessor(const TImageProcessor&) = delete;
    TImageProcessor& operator=(const TImageProcessor&) = delete;

    TImageDocument* AttachedDocument() const { return m_document; }
    void AttachedDocument(TImageDocument* document) { m_document = document; }
    // A buffer to work on when no document is attached (not owned).
    TImageBuffer* AttachedBitmap() const { return m_bitmap; }
    void AttachedBitmap(TImageBuffer* bitmap) { m_bitmap = bitmap; }
    // The buffer operations act on, or nullptr.
    TImageBuffer* Image();

    // Changes the image's size. width/height: > 0 the size, 0 keeps that side, -1 follows
    // the aspect ratio, other negatives are taken as their absolute value; both negative,
    // or an empty image, does nothing. Sizes below 1 become 1. Unsupported format/filter
    // pairs leave the new pixels unwritten; nothing is raised.
    void Resample(int32_t width, int32_t height, TResampleFilter filter);

    // --- undo copies, oldest first, held in memory ---
    int UndoCount() const { return int(m_undo.size()); }
    const std::string& UndoLabel(int index) const { return m_undo[size_t(index)].Label; }
    const TImageBuffer& UndoImage(int index) const { return *m_undo[size_t(index)].Image; }

    // --- published fields ---
    bool AutoUndo = false;
    int32_t UndoLimit = 1;
    TProgressEvent OnProgress;
    TNotifyEvent OnFinishWork;

private:
    struct UndoEntry {
        std::string Label;
        std::unique_ptr<TImageBuffer> Image;
    };
    void SaveUndo(const TImageBuffer& image, std::string label);
    void FinishWork();

    TImageDocument* m_document = nullptr;
    TImageBuffer* m_bitmap = nullptr;
    std::vector<UndoEntry> m_undo;
};

}  // namespace morvane
