#include "ioframe.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "fileformats.h"
#include "imagedocument.h"
#include "imageproc.h"
#include "streams.h"

namespace morvane {

namespace fs = std::filesystem;

namespace {

constexpr int32_t kDefaultDpi = 300;

// What the load and save sequences do differently per format.
struct FormatTraits {
    int32_t FileType = 0;
    size_t ReadBuffer = 0;           // read through a TBufferedReadStream of this size
    bool FixDpi = true;              // a resolution below 2 becomes the default after reading
    bool SaveAs24RGB = false;        // saved from pf24RGB (or pf1g), converted in place
    const char* BlockTag = nullptr;  // the tag of a stream block header
};

// Formats not listed read unbuffered, fix the resolution, save the buffer as it is and
// have no block header.
constexpr FormatTraits kFormatTraits[] = {
    {ftTIFF, 0, false, false, "TIFF"}, {ftJPEG, 8192, true, true, "JFIF"},
    {ftICO, 0, true, true, nullptr},   {ftJP2, 0, true, true, nullptr},
    {ftJ2K, 0, true, true, nullptr},
};

FormatTraits TraitsOf(int32_t fileType) {
    for (const FormatTraits& traits : kFormatTraits) {
        if (traits.FileType == fileType)
            return traits;
    }
    return FormatTraits{fileType};
}

// A stream block header: four ASCII characters, a 32-bit zero and the 32-bit length of
// the data that follows (little-endian).
constexpr size_t kBlockHeaderSize = 12;

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

// Steps over a block header of `tag` at the stream position, if there is one.
void SkipBlockHeader(TStream& stream, const char* tag) {
    if (!tag)
        return;
    int64_t start = stream.Position();
    uint8_t header[kBlockHeaderSize];
    bool found = stream.ReadExact(header, sizeof header) && std::memcmp(header, tag, 4) == 0 &&
                 header[4] == 0 && header[5] == 0 && header[6] == 0 && header[7] == 0;
    if (!found)
        stream.Seek(start);
}

// Runs `body`; DoFinishWork follows, also when an exception leaves `body` (it then goes
// on to the caller after the finish notification, with Aborting set).
template <class Body>
void Finishing(TImageIO& io, Body&& body) {
    try {
        body();
    } catch (...) {
        io.Aborting = true;
        io.DoFinishWork();
        throw;
    }
    io.DoFinishWork();
}

}  // namespace

// --- TProgressRec ---

void TProgressRec::Start(int64_t units) {
    per1 = units > 0 ? 100.0 / double(units) : 0;
    val = 0;
    prog = -1;
}

void TProgressRec::Step() {
    ++val;
    int percent = int(std::lrint(double(val) * per1));  // ties to even
    if (percent != prog)
        Report(percent);
}

void TProgressRec::Report(int percent) {
    prog = percent;
    if (fOnProgress)
        fOnProgress(Sender, percent);
}

// --- TImageParams ---

void TImageParams::SetDefaultParams() {
    *this = TImageParams(Owner);
}

void TImageParams::ResetInfo() {
    // general
    InputICCProfile.clear();

    // JPEG
    JpegMarkers.Clear();
    IptcList.Reset();
    XmpText.clear();
    IccProfile.clear();

    // PNG

    // BMP

    // GIF

    // TIFF

    // ICO

    // JPEG 2000

    // EXIF
    EXIF_XResolution = 0;
    EXIF_YResolution = 0;
}

void TImageParams::SetDpiX(int32_t value) {
    DpiX = value;
    EXIF_XResolution = value;
    if (Owner && Owner->AttachedDocument())
        Owner->AttachedDocument()->SetResolution(DpiX, DpiY);
}

void TImageParams::SetDpiY(int32_t value) {
    DpiY = value;
    EXIF_YResolution = value;
    if (Owner && Owner->AttachedDocument())
        Owner->AttachedDocument()->SetResolution(DpiX, DpiY);
}

void TImageParams::SetImageIndex(int32_t value) {
    ImageIndex = value;
    TiffImageIndex = value;
    GifImageIndex = value;
    IcoImageIndex = value;
}

// --- asynchronous operations ---

// The pending operations of one TImageIO (its TIOThread list) and the worker that runs
// them in order. Operations on one object never overlap: it is used by one thread at a
// time, the worker included.
class TImageIO::AsyncQueue {
  public:
    ~AsyncQueue() {
        {
            std::lock_guard lock(m_lock);
            m_stopping = true;
        }
        m_wake.notify_all();
        if (m_worker.joinable())
            m_worker.join();
    }

    void Push(TImageIO& io, std::function<void()> work) {
        std::lock_guard lock(m_lock);
        m_pending.push_back(std::move(work));
        if (!m_worker.joinable())
            m_worker = std::thread([this, &io] { Run(io); });
        m_wake.notify_all();
    }

    bool OnWorker() const { return std::this_thread::get_id() == m_workerId.load(); }

    // Pending operations, the running one included; sets Aborting under the lock when asked.
    size_t Count(TImageIO& io, bool aborting) {
        std::lock_guard lock(m_lock);
        if (aborting)
            io.Aborting = true;
        return m_pending.size() + (m_running ? 1 : 0);
    }

    void WaitBriefly() {
        std::unique_lock lock(m_lock);
        m_done.wait_for(lock, std::chrono::milliseconds(1));
    }

  private:
    void Run(TImageIO& io) {
        m_workerId = std::this_thread::get_id();
        std::unique_lock lock(m_lock);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
            if (m_pending.empty())
                return;
            std::function<void()> work = std::move(m_pending.front());
            m_pending.pop_front();
            m_running = true;
            lock.unlock();
            // No exception leaves the worker; the failure shows as Aborting.
            try {
                work();
            } catch (...) {
                io.Aborting = true;
            }
            lock.lock();
            m_running = false;
            m_done.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake, m_done;
    std::deque<std::function<void()>> m_pending;
    bool m_running = false;
    bool m_stopping = false;
    std::thread m_worker;
    std::atomic<std::thread::id> m_workerId{};
};

// --- TImageIO ---

TImageIO::TImageIO()
    : m_params(this),
      m_own(std::make_unique<TImageBuffer>()),
      m_async(std::make_unique<AsyncQueue>()) {}

TImageIO::~TImageIO() {
    WaitThreads(true);
    m_async.reset();
}

TImageBuffer* TImageIO::IOBitmap() {
    if (m_document)
        return &m_document->CurrentBuffer();
    if (m_external)
        return m_external;
    return m_own.get();
}

void TImageIO::SetIOBitmap(TImageBuffer* bitmap) {
    m_external = bitmap;
}

bool TImageIO::OwnsBitmap() const {
    return !m_document && !m_external;
}

void TImageIO::AttachedDocument(TImageDocument* document) {
    m_document = document;
    if (!document)
        return;
    int32_t dpiX = document->DpiX(), dpiY = document->DpiY();
    m_params.SetDpiX(dpiX);
    m_params.SetDpiY(dpiY);
}

TColor TImageIO::EffectiveBackground() const {
    return m_document ? m_document->Background : Background;
}

void TImageIO::SetBackground(TColor color) {
    if (m_document) {
        m_document->Background = color;
    } else {
        Background = color;
    }
}

bool TImageIO::HasReader(int32_t fileType) const {
    const TCodecEntry* codec = CodecLookup ? CodecLookup(fileType) : nullptr;
    return codec && codec->Read;
}

bool TImageIO::QueueAsync(std::function<void()> work) {
    if (!AsyncMode || OwnsBitmap() || m_async->OnWorker())
        return false;
    m_async->Push(*this, std::move(work));
    return true;
}

void TImageIO::WaitThreads(bool aborting) {
    // On the worker itself (a handler of a queued operation) there is nothing to wait for
    // that could finish.
    if (m_async->OnWorker())
        return;
    while (m_async->Count(*this, aborting) > 0)
        m_async->WaitBriefly();
}

void TImageIO::DoFinishWork() {
    if (OnProgress)
        OnProgress(this, 100);
    if (OnFinishWork)
        OnFinishWork(this);
}

TProgressRec TImageIO::MakeProgress() {
    TProgressRec progress;
    if (OnProgress) {
        progress.fOnProgress = [this](void* sender, int percent) {
            if (OnProgress)
                OnProgress(sender, percent);
        };
    }
    progress.Sender = this;
    progress.Aborting = &Aborting;
    return progress;
}

// --- loading ---

void TImageIO::LoadFile(const fs::path& fileName) {
    int32_t fileType = FindFileFormat(fileName, false);
    if (fileType != ftNone) {
        LoadFileFormat(fileName, fileType);
    } else {
        LoadFileByExtension(fileName);
    }
}

void TImageIO::LoadFileFormat(const fs::path& fileName, int32_t fileType) {
    // A code without a row (a RIFF AVI file, say) has no loader in this build: it fails
    // like an unknown format rather than leaving the previous image as if loaded.
    if (!FindFormatByCode(fileType)) {
        Aborting = true;
        DoFinishWork();
        return;
    }
    if (HasReader(fileType)) {
        LoadCodec(fileType, fileName);
    } else {
        LoadFileByExtension(fileName);
    }
}

void TImageIO::LoadFileByExtension(const fs::path& fileName) {
    if (!IOBitmap())
        return;
    const TFileFormatInfo* row = fileName.empty() ? nullptr : FindFormatOfFileName(fileName);
    if (!row) {
        Aborting = true;
        DoFinishWork();
        return;
    }
    if (HasReader(row->FileType)) {
        LoadCodec(row->FileType, fileName);
        return;
    }
    // A row without a reader in this build.
    m_params.ResetInfo();
    m_params.FileName.clear();
    m_params.FileType = ftNone;
    Aborting = true;
    DoFinishWork();
}

void TImageIO::LoadCodec(int32_t fileType, const fs::path& fileName) {
    if (QueueAsync([this, fileType, fileName] { LoadCodec(fileType, fileName); }))
        return;
    Load(fileType, &fileName, nullptr);
}

void TImageIO::LoadCodec(int32_t fileType, TStream& stream) {
    if (QueueAsync([this, fileType, &stream] { LoadCodec(fileType, stream); }))
        return;
    Load(fileType, nullptr, &stream);
}

void TImageIO::Load(int32_t fileType, const fs::path* fileName, TStream* stream) {
    Aborting = true;
    TImageBuffer* bitmap = IOBitmap();
    const TCodecEntry* codec = CodecLookup ? CodecLookup(fileType) : nullptr;
    if (!bitmap || !codec || !codec->Read) {
        DoFinishWork();
        return;
    }
    const FormatTraits traits = TraitsOf(fileType);
    Finishing(*this, [&] {
        m_params.ResetInfo();
        std::optional<TWideFileStream> file;
        if (fileName)
            stream = &file.emplace(*fileName, TWideFileStream::Mode::OpenRead);
        SkipBlockHeader(*stream, traits.BlockTag);

        Aborting = false;
        TProgressRec progress = MakeProgress();
        bitmap->DropAlpha(false, EffectiveBackground());
        std::optional<TBufferedReadStream> buffered;
        if (traits.ReadBuffer)
            stream = &buffered.emplace(*stream, traits.ReadBuffer);
        TReadContext context{*stream, *bitmap, m_params, progress, *this};
        codec->Read(context);
        AfterRead(context, traits.FixDpi);

        m_params.FileName = fileName ? *fileName : fs::path();
        m_params.FileType = fileType;
        if (m_document) {
            m_document->SetResolution(m_params.DpiX, m_params.DpiY);
            m_document->ImageChanged();
        }
    });
}

void TImageIO::AfterRead(TReadContext& context, bool fixDpi) {
    if (fixDpi && m_params.DpiX < 2)
        m_params.SetDpiX(kDefaultDpi);
    if (fixDpi && m_params.DpiY < 2)
        m_params.SetDpiY(kDefaultDpi);

    TImageBuffer& bitmap = context.Bitmap;
    const TPixelMask* mask = context.AlphaMask.get();
    // A mask that does not match the image (a reader that stopped half way) is dropped.
    if (mask && mask->Width() == bitmap.Width() && mask->Height() == bitmap.Height() &&
        !bitmap.IsEmpty()) {
        if (TImageBuffer* alpha = bitmap.Alpha()) {
            alpha->CopyFromPixelMask(mask);
            alpha->FullyOpaque = mask->FullyOpaque;
        }
    }
    context.AlphaMask.reset();
    ApplyAutoAdjustDPI(bitmap);
}

// AutoAdjustDPI: resamples the image (alpha included) so that DpiX and DpiY become
// equal, stretching the shorter side. FilteredAdjustDPI picks the fast linear filter over
// the nearest-pixel copy.
void TImageIO::ApplyAutoAdjustDPI(TImageBuffer& bitmap) {
    const int32_t dpiX = m_params.DpiX, dpiY = m_params.DpiY;
    if (!AutoAdjustDPI || dpiX == dpiY || dpiX < 1 || dpiY < 1 || bitmap.IsEmpty())
        return;
    TImageProcessor proc;
    proc.AttachedBitmap(&bitmap);
    const TResampleFilter filter = FilteredAdjustDPI ? rfFastLinear : rfNone;
    if (bitmap.Height() < bitmap.Width()) {
        const double height = std::nearbyint(double(bitmap.Height()) / dpiY * dpiX);
        proc.Resample(bitmap.Width(), int32_t(std::clamp(height, 1.0, double(INT32_MAX))), filter);
        m_params.SetDpiY(dpiX);
    } else {
        const double width = std::nearbyint(double(bitmap.Width()) / dpiX * dpiY);
        proc.Resample(int32_t(std::clamp(width, 1.0, double(INT32_MAX))), bitmap.Height(), filter);
        m_params.SetDpiX(dpiY);
    }
}

void TImageIO::ReadFileParams(const fs::path& fileName) {
    int32_t fileType = ftNone;
    try {
        fileType = FindFileFormat(fileName, true);
    } catch (...) {
        fileType = ftNone;
    }
    m_params.FileType = fileType;
    m_params.ResetInfo();
    try {
        const TCodecEntry* codec = CodecLookup ? CodecLookup(fileType) : nullptr;
        if (!codec || !codec->Read) {
            Aborting = true;
        } else {
            TWideFileStream file(fileName, TWideFileStream::Mode::OpenRead);
            TStream* stream = &file;
            const FormatTraits traits = TraitsOf(fileType);
            SkipBlockHeader(file, traits.BlockTag);
            Aborting = false;
            std::optional<TBufferedReadStream> buffered;
            if (traits.ReadBuffer)
                stream = &buffered.emplace(file, traits.ReadBuffer);
            TProgressRec progress = MakeProgress();
            // The reader decodes no rows; a scratch buffer keeps the current image intact
            // whatever it does.
            TImageBuffer scratch;
            TReadContext context{*stream, scratch, m_params, progress, *this, true};
            codec->Read(context);
        }
    } catch (...) {
        Aborting = true;
    }
    if (Aborting)
        m_params.FileType = ftNone;
    m_params.FileName = fileName;
    DoFinishWork();
}

void TImageIO::LoadTiffFile(const fs::path& fileName) {
    LoadCodec(ftTIFF, fileName);
}
void TImageIO::LoadGifFile(const fs::path& fileName) {
    LoadCodec(ftGIF, fileName);
}
void TImageIO::LoadJpegFile(const fs::path& fileName) {
    LoadCodec(ftJPEG, fileName);
}
void TImageIO::LoadBmpFile(const fs::path& fileName) {
    LoadCodec(ftBMP, fileName);
}
void TImageIO::LoadIcoFile(const fs::path& fileName) {
    LoadCodec(ftICO, fileName);
}
void TImageIO::LoadPngFile(const fs::path& fileName) {
    LoadCodec(ftPNG, fileName);
}
void TImageIO::LoadJp2File(const fs::path& fileName) {
    LoadCodec(ftJP2, fileName);
}
void TImageIO::LoadJ2kFile(const fs::path& fileName) {
    LoadCodec(ftJ2K, fileName);
}

void TImageIO::LoadTiffStream(TStream& stream) {
    LoadCodec(ftTIFF, stream);
}
void TImageIO::LoadGifStream(TStream& stream) {
    LoadCodec(ftGIF, stream);
}
void TImageIO::LoadJpegStream(TStream& stream) {
    LoadCodec(ftJPEG, stream);
}
void TImageIO::LoadBmpStream(TStream& stream) {
    LoadCodec(ftBMP, stream);
}
void TImageIO::LoadIcoStream(TStream& stream) {
    LoadCodec(ftICO, stream);
}
void TImageIO::LoadPngStream(TStream& stream) {
    LoadCodec(ftPNG, stream);
}
void TImageIO::LoadJp2Stream(TStream& stream) {
    LoadCodec(ftJP2, stream);
}
void TImageIO::LoadJ2kStream(TStream& stream) {
    LoadCodec(ftJ2K, stream);
}

// --- saving ---

void TImageIO::SaveCodec(int32_t fileType, const fs::path& fileName) {
    if (QueueAsync([this, fileType, fileName] { SaveCodec(fileType, fileName); }))
        return;
    Save(fileType, &fileName, nullptr);
}

void TImageIO::SaveCodec(int32_t fileType, TStream& stream) {
    if (QueueAsync([this, fileType, &stream] { SaveCodec(fileType, stream); }))
        return;
    Save(fileType, nullptr, &stream);
}

void TImageIO::Save(int32_t fileType, const fs::path* fileName, TStream* stream) {
    Aborting = true;
    TImageBuffer* bitmap = IOBitmap();
    const TCodecEntry* codec = CodecLookup ? CodecLookup(fileType) : nullptr;
    if (!bitmap || !codec || !codec->Write) {
        DoFinishWork();
        return;
    }
    const FormatTraits traits = TraitsOf(fileType);
    Finishing(*this, [&] {
        const TPixelFormatKind format = bitmap->PixelFormat();
        if (traits.SaveAs24RGB && !bitmap->IsEmpty() && format != pf24RGB && format != pf1g)
            bitmap->PixelFormat(pf24RGB);
        if (codec->PrepareSave)
            codec->PrepareSave(*bitmap, m_params);
        // The writer fills a new file; the target is replaced only when it succeeded.
        std::optional<ReplacingFileStream> file;
        if (fileName)
            stream = &file.emplace(*fileName);
        const bool blockHeader = !fileName && StreamHeaders && traits.BlockTag;
        const int64_t start = stream->Position();
        if (blockHeader) {
            uint8_t header[kBlockHeaderSize] = {};
            std::memcpy(header, traits.BlockTag, 4);
            stream->WriteExact(header, sizeof header);
        }

        Aborting = false;
        TProgressRec progress = MakeProgress();
        TWriteContext context{*stream, *bitmap, m_params, progress, *this};
        codec->Write(context);

        if (blockHeader) {
            const int64_t end = stream->Position();
            const int64_t length = end - start - int64_t(kBlockHeaderSize);
            uint8_t field[4];
            PutLe32(field, uint32_t(length));
            stream->Seek(start + 8);
            if (length > int64_t(UINT32_MAX) || !stream->WriteExact(field, 4))
                Aborting = true;
            stream->Seek(end);
        }
        if (file && !Aborting)
            file->Commit();  // raises EFCreateError, Aborting then set
        m_params.FileName = fileName ? *fileName : fs::path();
        m_params.FileType = fileType;
    });
}

void TImageIO::SaveJpegFile(const fs::path& fileName) {
    SaveCodec(ftJPEG, fileName);
}
void TImageIO::SavePngFile(const fs::path& fileName) {
    SaveCodec(ftPNG, fileName);
}
void TImageIO::SaveBmpFile(const fs::path& fileName) {
    SaveCodec(ftBMP, fileName);
}
void TImageIO::SaveGifFile(const fs::path& fileName) {
    SaveCodec(ftGIF, fileName);
}
void TImageIO::SaveTiffFile(const fs::path& fileName) {
    SaveCodec(ftTIFF, fileName);
}
void TImageIO::SaveIcoFile(const fs::path& fileName) {
    SaveCodec(ftICO, fileName);
}
void TImageIO::SaveJ2kFile(const fs::path& fileName) {
    SaveCodec(ftJ2K, fileName);
}
void TImageIO::SaveJp2File(const fs::path& fileName) {
    SaveCodec(ftJP2, fileName);
}

void TImageIO::SaveJpegStream(TStream& stream) {
    SaveCodec(ftJPEG, stream);
}
void TImageIO::SavePngStream(TStream& stream) {
    SaveCodec(ftPNG, stream);
}
void TImageIO::SaveBmpStream(TStream& stream) {
    SaveCodec(ftBMP, stream);
}
void TImageIO::SaveGifStream(TStream& stream) {
    SaveCodec(ftGIF, stream);
}
void TImageIO::SaveTiffStream(TStream& stream) {
    SaveCodec(ftTIFF, stream);
}
void TImageIO::SaveIcoStream(TStream& stream) {
    SaveCodec(ftICO, stream);
}
void TImageIO::SaveJ2kStream(TStream& stream) {
    SaveCodec(ftJ2K, stream);
}
void TImageIO::SaveJp2Stream(TStream& stream) {
    SaveCodec(ftJP2, stream);
}

}  // namespace morvane
