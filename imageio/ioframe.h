#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codecs/jpeg/jpegmarkers.h"
#include "fileformats.h"
#include "imagebuffer.h"
#include "imagingdefs.h"
#include "streams.h"

namespace morvane {

class TImageIO;
class TImageDocument;

using TProgressEvent = std::function<void(void* sender, int percent)>;
using TNotifyEvent = std::function<void(void* sender)>;

// Handed to every codec: where to report progress and the flag that cancels it.
struct TProgressRec {
    TProgressEvent fOnProgress;  // empty when nobody listens
    void* Sender = nullptr;
    std::atomic<bool>* Aborting = nullptr;
    double per1 = 0;  // 100 / number of units
    int64_t val = 0;  // units done
    int prog = -1;    // last percent reported

    // Sets the unit count (rows, usually) and resets the counters.
    void Start(int64_t units);
    // Counts one unit and reports round(val * per1) when that integer changed.
    void Step();
    // Reports `percent` unconditionally (some codecs report after every unit).
    void Report(int percent);
    bool IsAborting() const { return Aborting && Aborting->load(std::memory_order_relaxed); }
    void Abort() {
        if (Aborting) Aborting->store(true, std::memory_order_relaxed);
    }
};

// The per-image parameter record: readers fill it with what a file holds, writers take
// their options from it. It persists across loads of the same TImageIO.
// A field's default is its initializer below; SetDefaultParams restores them all, so a
// new field needs nothing more than its initializer. What a file brings with it (lists,
// text, metadata) is also cleared in ResetInfo, in the section of its format.
class TImageParams {
public:
    explicit TImageParams(TImageIO* owner = nullptr) : Owner(owner) {}

    void SetDefaultParams();
    // Clears only what a file brings with it (markers, text, EXIF, profiles, ...); the
    // size, the resolution, the sample fields and every write option stay.
    void ResetInfo();
    // Store the resolution (dots per inch) here and in the EXIF field of the same axis,
    // and pass it on to the attached document.
    void SetDpiX(int32_t value);
    void SetDpiY(int32_t value);
    // The page or frame to read, stored in ImageIndex and in each format's index field.
    void SetImageIndex(int32_t value);

    TImageIO* Owner = nullptr;

    // --- general ---
    std::filesystem::path FileName;
    int32_t FileType = 0;
    int32_t Width = 0, Height = 0;
    int32_t OriginalWidth = 0, OriginalHeight = 0;
    int32_t BitsPerSample = 8;
    int32_t SamplesPerPixel = 3;
    int32_t DpiX = 300, DpiY = 300;
    int32_t ImageIndex = 0;
    std::vector<TRGB> ColorMap;
    int32_t ColorMapCount = 0;
    bool IsNativePixelFormat = false;
    std::vector<uint8_t> InputICCProfile;  // embedded colour profile of the last file

    // --- JPEG ---
    uint8_t JpegScale = 1;
    int32_t JpegQuality = 80;
    uint8_t JpegDctMethod = 0;
    bool JpegOptimalHuffman = false;
    int32_t JpegSmoothing = 0;
    bool JpegProgressive = false;
    uint8_t JpegColorSpace = 2;
    uint8_t JpegChromaSubsampling = 1;  // luminance sampling: 0 = 2x1, 1 = 2x2, 2 = 1x1
    int32_t JpegScaleUsed = 1;          // denominator of the last load: 1, 2, 4, 8
    TMarkerList JpegMarkers;            // APPn and COM markers, written back
    int32_t JpegWarningCount = 0;       // library warnings of the last load
    int32_t JpegWarningCode = 0;        // code of the last warning (0 without warnings)
    std::string XmpText;                // the XMP packet (also TIFF tag 700)
    TIptcInfoList IptcList;             // IPTC records (also TIFF tag 33723)
    std::vector<uint8_t> IccProfile;    // embedded ICC profile; empty when none

    // --- PNG ---
    bool PngInterlaced = false;
    uint8_t PngFilter = 0;
    int32_t PngCompression = 5;

    // --- BMP ---
    uint8_t BmpCompression = 0;

    // --- GIF ---
    bool GifInterlaced = false;
    int32_t GifImageIndex = 0;

    // --- TIFF ---
    uint8_t TiffCompression = 0;
    int32_t TiffImageIndex = 0;

    // --- ICO ---
    int32_t IcoImageIndex = 0;

    // --- JPEG 2000 ---

    // --- EXIF ---
    double EXIF_XResolution = 0, EXIF_YResolution = 0;
};

// What a reader gets from the frame. `AlphaMask` is an out value: a reader that builds
// a mask (BMP, ICO, GIF) leaves a mask of the image's size here (8 bits, or 1 bit for
// 0 and 255) and the frame
// copies it into the buffer's alpha, with its FullyOpaque flag. The stream is positioned
// at the start of the image data.
struct TReadContext {
    TStream& Stream;
    TImageBuffer& Bitmap;
    TImageParams& Params;
    TProgressRec& Progress;
    TImageIO& IO;
    bool ParamsOnly = false;
    std::unique_ptr<TPixelMask> AlphaMask;
};

// What a writer gets from the frame.
struct TWriteContext {
    TStream& Stream;
    TImageBuffer& Bitmap;
    TImageParams& Params;
    TProgressRec& Progress;
    TImageIO& IO;
};

// A codec plugs in here: one reader and/or writer per type code. Codecs report bad
// input by setting Aborting (Progress.Abort()) and returning; only the JPEG and PNG
// writers and the file layer raise. `PrepareSave`, when present, runs before the file
// is created, after the frame's own preparation (JPEG, ICO and JPEG 2000 saves get a
// pf24RGB or pf1g buffer): whatever else the format refreshes (JPEG markers, say).
struct TCodecEntry {
    int32_t FileType = 0;
    void (*Read)(TReadContext&) = nullptr;
    void (*Write)(TWriteContext&) = nullptr;
    void (*PrepareSave)(TImageBuffer&, TImageParams&) = nullptr;
};


// The registered codecs (imageio/codecs/registry.cpp); nullptr when a code has none.
const TCodecEntry* FindCodec(int32_t fileType);

// The loader and saver.
class TImageIO {
public:
    TImageIO();
    ~TImageIO();
    TImageIO(const TImageIO&) = delete;
    TImageIO& operator=(const TImageIO&) = delete;

    // The buffer loads fill and saves read: the attached document's current buffer,
    // else the one handed in, else one the object owns.
    TImageBuffer* IOBitmap();
    void SetIOBitmap(TImageBuffer* bitmap);  // not owned; nullptr goes back to the own one
    bool OwnsBitmap() const;

    TImageDocument* AttachedDocument() const { return m_document; }
    void AttachedDocument(TImageDocument* document);

    TImageParams& Params() { return m_params; }

    // Test hook: where the object looks up its codecs. Tests point it at a function that
    // answers with fake codecs; everything else leaves it at the registry.
    const TCodecEntry* (*CodecLookup)(int32_t fileType) = &FindCodec;

    // --- loading ---
    // None of the operations returns a result: one has succeeded when it raised nothing
    // and Aborting is false afterwards. Opening a file raises EFOpenError; a malformed
    // file, or a format without a reader in this build, sets Aborting instead.
    void LoadFile(const std::filesystem::path& fileName);
    void LoadFileFormat(const std::filesystem::path& fileName, int32_t fileType);
    void LoadFileByExtension(const std::filesystem::path& fileName);
    void ReadFileParams(const std::filesystem::path& fileName);

    void LoadTiffFile(const std::filesystem::path& fileName);
    void LoadGifFile(const std::filesystem::path& fileName);
    void LoadJpegFile(const std::filesystem::path& fileName);
    void LoadBmpFile(const std::filesystem::path& fileName);
    void LoadIcoFile(const std::filesystem::path& fileName);
    void LoadPngFile(const std::filesystem::path& fileName);
    void LoadJp2File(const std::filesystem::path& fileName);
    void LoadJ2kFile(const std::filesystem::path& fileName);

    void LoadTiffStream(TStream& stream);
    void LoadGifStream(TStream& stream);
    void LoadJpegStream(TStream& stream);
    void LoadBmpStream(TStream& stream);
    void LoadIcoStream(TStream& stream);
    void LoadPngStream(TStream& stream);
    void LoadJp2Stream(TStream& stream);
    void LoadJ2kStream(TStream& stream);

    // --- saving: a temporary file in the target's folder replaces the target only
    // when the writer succeeded (no exception, Aborting clear); otherwise the target is
    // left as it was. Creating the file raises EFCreateError naming the target ---
    void SaveJpegFile(const std::filesystem::path& fileName);
    void SavePngFile(const std::filesystem::path& fileName);
    void SaveBmpFile(const std::filesystem::path& fileName);
    void SaveGifFile(const std::filesystem::path& fileName);
    void SaveTiffFile(const std::filesystem::path& fileName);
    void SaveIcoFile(const std::filesystem::path& fileName);
    void SaveJ2kFile(const std::filesystem::path& fileName);
    void SaveJp2File(const std::filesystem::path& fileName);

    void SaveJpegStream(TStream& stream);
    void SavePngStream(TStream& stream);
    void SaveBmpStream(TStream& stream);
    void SaveGifStream(TStream& stream);
    void SaveTiffStream(TStream& stream);
    void SaveIcoStream(TStream& stream);
    void SaveJ2kStream(TStream& stream);
    void SaveJp2Stream(TStream& stream);

    // Waits until every operation queued by AsyncMode has run; with `aborting`, keeps
    // Aborting set meanwhile so that they stop at their next test.
    void WaitThreads(bool aborting);
    // Reports 100 % through OnProgress, then calls OnFinishWork.
    void DoFinishWork();

    // --- published fields ---
    std::atomic<bool> Aborting{false};
    TProgressEvent OnProgress;
    TNotifyEvent OnFinishWork;
    TColor Background = MakeColor(240, 240, 240);  // the document's when attached
    bool AutoAdjustDPI = false;
    bool FilteredAdjustDPI = false;
    bool StreamHeaders = false;
    bool AsyncMode = false;

    // Keep the file's own pixel format; the same value as Params().IsNativePixelFormat.
    bool NativePixelFormat() const { return m_params.IsNativePixelFormat; }
    void NativePixelFormat(bool value) { m_params.IsNativePixelFormat = value; }

    // The background colour in effect (the attached document's when attached), and its
    // setter (which sets the document's when attached).
    TColor EffectiveBackground() const;
    void SetBackground(TColor color);

private:
    class AsyncQueue;

    void LoadCodec(int32_t fileType, const std::filesystem::path& fileName);
    void LoadCodec(int32_t fileType, TStream& stream);
    void Load(int32_t fileType, const std::filesystem::path* fileName, TStream* stream);
    void SaveCodec(int32_t fileType, const std::filesystem::path& fileName);
    void SaveCodec(int32_t fileType, TStream& stream);
    void Save(int32_t fileType, const std::filesystem::path* fileName, TStream* stream);
    bool HasReader(int32_t fileType) const;
    // Runs `work` on this object's worker when AsyncMode applies; false when the caller
    // is to run it now.
    bool QueueAsync(std::function<void()> work);
    TProgressRec MakeProgress();
    void AfterRead(TReadContext& context, bool fixDpi);
    void ApplyAutoAdjustDPI(TImageBuffer& bitmap);

    TImageParams m_params;
    TImageDocument* m_document = nullptr;
    TImageBuffer* m_external = nullptr;
    std::unique_ptr<TImageBuffer> m_own;
    std::unique_ptr<AsyncQueue> m_async;
};

}  // namespace morvane
