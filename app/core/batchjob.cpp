#include "batchjob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "imageproc.h"
#include "joblists.h"

namespace morvane {

namespace {

// Blanks and control characters at both ends do not count (as the prefix test wants).
std::string_view TrimBlanks(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

std::string UpperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    }
    return s;
}

// A load or save that ends with Aborting set has failed even when it raised nothing.
void CheckNotAborted(const TImageIO& io, const char* what) {
    if (io.Aborting.load())
        throw std::runtime_error(what);
}

[[noreturn]] void ThrowSystem(const std::string& what, int error) {
    throw std::runtime_error(what + ": " + SystemErrorText(error));
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0)
            close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

  private:
    int m_fd;
};

}  // namespace

std::string FileLine(int64_t number, std::string_view name, bool ok) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%02lld", static_cast<long long>(number));
    return "[" + std::string(digits) + "] Processing " + std::string(name) +
           (ok ? "... OK" : "... Error");
}

std::string DoneMessage(int32_t seconds) {
    if (seconds <= 60)
        return "Done in " + std::to_string(seconds) + " seconds.";
    return "Done in " + std::to_string(seconds / 60) + " minutes and " +
           std::to_string(seconds % 60) + " seconds.";
}

std::string NumberedName(std::string_view prefix, int64_t number,
                         const std::filesystem::path& source) {
    return std::string(prefix) + std::to_string(number) + FileExtension(source);
}

std::string ReplaceExtension(std::string_view name, std::string_view extension) {
    size_t dot = name.rfind('.');
    size_t slash = name.rfind('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        dot = name.size();
    }
    return std::string(name.substr(0, dot)) + std::string(extension);
}

void CopyFileReplacing(const std::filesystem::path& source, const std::filesystem::path& target) {
    std::error_code ec;
    if (std::filesystem::equivalent(source, target, ec)) {
        throw std::runtime_error("Cannot copy \"" + source.string() + "\" onto itself");
    }
    FileDescriptor in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        ThrowSystem("Cannot open file \"" + source.string() + "\"", errno);
    struct stat info {};
    if (fstat(in.get(), &info) != 0)
        ThrowSystem("Cannot read \"" + source.string() + "\"", errno);

    std::filesystem::path folder = target.parent_path();
    std::string temp = (folder.empty() ? std::string(".") : folder.string()) + "/." +
                       target.filename().string() + ".XXXXXX";
    FileDescriptor out(mkostemp(temp.data(), O_CLOEXEC));
    if (out.get() < 0)
        ThrowSystem("Cannot create file \"" + target.string() + "\"", errno);
    auto fail = [&](const std::string& what, int error) {
        unlink(temp.c_str());
        ThrowSystem(what, error);
    };

    std::vector<char> buffer(size_t(1) << 20);
    for (;;) {
        ssize_t n = read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("Cannot read \"" + source.string() + "\"", errno);
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out.get(), buffer.data() + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                fail("Cannot write \"" + target.string() + "\"", w < 0 ? errno : ENOSPC);
            done += w;
        }
    }
    // Like a copy by the shell: same permission bits and modification time.
    fchmod(out.get(), info.st_mode & 07777);
    const timespec times[2] = {info.st_atim, info.st_mtim};
    futimens(out.get(), times);
    if (close(out.release()) != 0)
        fail("Cannot write \"" + target.string() + "\"", errno);
    if (std::rename(temp.c_str(), target.c_str()) != 0) {
        fail("Cannot create file \"" + target.string() + "\"", errno);
    }
}

BatchProcessor::BatchProcessor(JobObserver& observer) : m_observer(observer) {
    m_io.AttachedDocument(&m_document);
    // The job never undoes a resample; an undo copy per file would only cost a copy of
    // every image.
    m_document.Proc().AutoUndo = false;
}

BatchProcessor::~BatchProcessor() = default;

StartOutcome BatchProcessor::StartJob(const JobSettings& settings, std::vector<ImageEntry> rows) {
    if (!settings.Resize && !settings.Convert && !settings.Rename && !settings.Watermark) {
        m_observer.ShowMessage(JobMessageKind::Warning, std::string(kNoTaskWarning));
        return StartOutcome::NoTask;
    }
    m_settings = settings;
    m_rows = std::move(rows);
    m_summary = JobSummary{};
    m_summary.Total = int64_t(m_rows.size());

    m_observer.StateChanged(JobState::Starting);
    m_observer.Progress(0, m_summary.Total);
    m_observer.WriteLog("Tasks:", kLogBlack);
    if (m_settings.Resize)
        m_observer.WriteLog(" - Resize images", kLogBlack);
    if (m_settings.Convert && !ConvertFormatName(m_settings.ConvertItem).empty()) {
        m_observer.WriteLog(
            " - Convert to " + std::string(ConvertFormatName(m_settings.ConvertItem)), kLogBlack);
    }
    if (m_settings.Rename)
        m_observer.WriteLog(" - Rename images", kLogBlack);

    m_filter = ResampleFilterAt(m_settings.ResizeFilter);
    m_dct = DctMethodAt(m_settings.DCT);
    m_pngFilter = PngFilterAt(m_settings.PNGFilter);
    m_bmpCompression = BmpCompressionOf(m_settings.RLE);
    m_tiffCompression = TiffCompressionAt(m_settings.TIFFCompression);

    const std::string& folder = m_settings.Output;
    std::error_code ec;
    if (std::filesystem::is_directory(folder, ec)) {
        m_observer.WriteLog("Looking for directory " + folder + "... Found", kLogGreen);
    } else {
        m_observer.WriteLog("Looking for directory " + folder + "... Not found", kLogRed);
        if (folder.empty()) {
            m_observer.ShowMessage(JobMessageKind::Error, std::string(kCreateFolderError));
            m_summary.FolderFailed = true;
            m_observer.StateChanged(JobState::FolderFailed);
            return StartOutcome::FolderFailed;
        }
        std::filesystem::create_directories(folder, ec);
        if (std::filesystem::is_directory(folder, ec)) {
            m_observer.WriteLog("Creating output directory " + folder + "... OK", kLogGreen);
        } else {
            m_observer.WriteLog("Creating output directory " + folder + "... Error", kLogRed);
            m_observer.WriteLog("Done.", kLogBlack);
            m_summary.FolderFailed = true;
            m_observer.StateChanged(JobState::FolderFailed);
            return StartOutcome::FolderFailed;
        }
    }
    return StartOutcome::Started;
}

void BatchProcessor::RunJob() {
    m_observer.StateChanged(JobState::Running);
    m_folder = m_settings.Output;
    if (!m_folder.empty() && m_folder.back() == '/')
        m_folder.pop_back();
    m_observer.WriteLog("Process started...", kLogBlack);
    m_cancelRequested.store(false);
    const int64_t count = int64_t(m_rows.size());
    m_observer.Progress(0, count);
    for (size_t i = 0; i < m_rows.size(); ++i) {
        if (m_cancelRequested.load())
            break;
        bool ok = true;
        try {
            ProcessFile(i);
        } catch (...) {
            ok = false;
        }
        (ok ? m_summary.Succeeded : m_summary.Failed)++;
        m_observer.WriteLog(FileLine(int64_t(i) + 1, m_rows[i].DisplayName, ok),
                            ok ? kLogGreen : kLogRed);
        m_observer.Progress(int64_t(i) + 1, count);
    }
}

void BatchProcessor::FinishJob(int32_t elapsedSeconds) {
    if (m_cancelRequested.load()) {
        m_summary.Cancelled = true;
        m_observer.Progress(m_summary.Total, m_summary.Total);
        m_observer.WriteLog("Process cancelled...", kLogRed);
    }
    m_observer.WriteLog(DoneMessage(elapsedSeconds), kLogBlack);
    m_observer.StateChanged(JobState::Finished);
}

void BatchProcessor::Cancel() {
    m_cancelRequested.store(true);
    m_io.Aborting.store(true);
}

std::filesystem::path BatchProcessor::InFolder(const std::string& name) const {
    return std::filesystem::path(m_folder + "/" + name);
}

void BatchProcessor::ProcessFile(size_t index) {
    const ImageEntry& row = m_rows[index];
    const std::filesystem::path& source = row.FullPath;
    const JobSettings& s = m_settings;
    const std::string_view prefix = s.RenameText;
    const bool numbered = s.Rename && !TrimBlanks(prefix).empty();

    if (s.Rename && !s.Resize && !s.Convert && !s.Watermark) {
        CopyFileReplacing(source,
                          InFolder(numbered ? NumberedName(prefix, int64_t(index) + 1, source)
                                            : source.filename().string()));
        return;
    }

    // Whatever happens below, the next file finds a document with one blank layer.
    struct Reset {
        BatchProcessor& job;
        ~Reset() {
            try {
                job.ResetDocument();
            } catch (...) {
            }
        }
    } reset{*this};

    TImageParams& params = m_io.Params();
    if (s.Resize) {
        params.Width = s.TargetWidth;
        params.Height = s.TargetHeight;
        params.JpegScale = 0;  // automatic: the smallest scale that still covers the target
    } else {
        params.JpegScale = 1;
    }
    m_io.LoadFile(source);
    CheckNotAborted(m_io, "load failed");

    if (!s.UseOriginal)
        SetWriteOptions();
    if (s.Resize)
        ResizeImage();
    if (s.Watermark)
        AddWatermark();

    std::string outputName =
        numbered ? NumberedName(prefix, int64_t(index) + 1, source) : row.DisplayName;
    Save(outputName, row.DisplayName);
}

void BatchProcessor::SetWriteOptions() {
    const JobSettings& s = m_settings;
    TImageParams& p = m_io.Params();
    p.JpegQuality = s.JPEGQuality;
    p.JpegProgressive = s.Progressive;
    p.JpegSmoothing = s.Smooth;
    p.JpegOptimalHuffman = s.Huffman;
    p.JpegDctMethod = m_dct;
    p.TiffCompression = m_tiffCompression;
    if (s.ColorSpace > 0)
        p.JpegColorSpace = JpegColorSpaceAt(s.ColorSpace, p.JpegColorSpace);
    p.PngInterlaced = s.Interlaced;
    p.PngFilter = m_pngFilter;
    p.PngCompression = s.Compression;
    p.BmpCompression = m_bmpCompression;
    p.GifInterlaced = s.GIFInterlaced;
}

void BatchProcessor::ResizeImage() {
    const JobSettings& s = m_settings;
    const TImageParams& p = m_io.Params();
    const int32_t w = p.OriginalWidth, h = p.OriginalHeight;
    const int32_t tw = s.TargetWidth, th = s.TargetHeight;
    if (!(w > tw || h > th))
        return;
    // The side to fit follows the orientation alone: a 600 x 500 image with a 640 x 480
    // target becomes 640 wide.
    TImageProcessor& proc = m_document.Proc();
    if (!s.Proportions) {
        proc.Resample(tw, th, m_filter);
    } else if (w >= h) {
        proc.Resample(tw, -1, m_filter);
    } else {
        proc.Resample(-1, th, m_filter);
    }
}

void BatchProcessor::AddWatermark() {
    const JobSettings& s = m_settings;
    std::error_code ec;
    const std::filesystem::path mark(s.WatermarkPath);
    if (s.WatermarkPath.empty() || !std::filesystem::is_regular_file(mark, ec))
        return;

    const int layer = m_document.AddLayer();
    m_io.LoadFile(mark);  // into the new current layer, with the load hints as they stand
    CheckNotAborted(m_io, "watermark load failed");

    TImageLayer* wm = m_document.LayerAt(layer);
    wm->LayerOpacity = s.Opacity;
    const int32_t w0 = m_document.LayerWidth(0), h0 = m_document.LayerHeight(0);
    const int32_t w1 = m_document.LayerWidth(layer), h1 = m_document.LayerHeight(layer);
    const int32_t mx = s.MarginX, my = s.MarginY;
    // Margins move the mark away from the edge it is placed at; the centred placements
    // treat them like the right and bottom ones.
    const int32_t left = mx, centreX = w0 / 2 - (w1 / 2 + mx), right = w0 - (w1 + mx);
    const int32_t top = my, centreY = h0 / 2 - (h1 / 2 + my), bottom = h0 - (h1 + my);
    switch (s.LayerPosition) {
        case 0:
            wm->LayerX = left, wm->LayerY = top;
            break;
        case 1:
            wm->LayerX = centreX, wm->LayerY = top;
            break;
        case 2:
            wm->LayerX = right, wm->LayerY = top;
            break;
        case 3:
            wm->LayerX = left, wm->LayerY = centreY;
            break;
        case 4:
            wm->LayerX = centreX, wm->LayerY = centreY;
            break;
        case 5:
            wm->LayerX = right, wm->LayerY = centreY;
            break;
        case 6:
            wm->LayerX = left, wm->LayerY = bottom;
            break;
        case 7:
            wm->LayerX = centreX, wm->LayerY = bottom;
            break;
        case 8:
            wm->LayerX = right, wm->LayerY = bottom;
            break;
        default:
            break;  // the position the new layer has
    }
    m_document.MergeAllLayers();
}

void BatchProcessor::Save(const std::string& outputName, const std::string& displayName) {
    const JobSettings& s = m_settings;
    using SaveFn = void (TImageIO::*)(const std::filesystem::path&);
    SaveFn save = nullptr;
    std::string name = outputName;
    if (s.Convert) {
        static constexpr SaveFn kConvertSaves[] = {&TImageIO::SaveJpegFile, &TImageIO::SavePngFile,
                                                   &TImageIO::SaveBmpFile, &TImageIO::SaveGifFile,
                                                   &TImageIO::SaveTiffFile};
        std::string_view extension = ConvertExtension(s.ConvertItem);
        if (extension.empty())
            throw std::runtime_error("no output format selected");
        save = kConvertSaves[s.ConvertItem];
        name = ReplaceExtension(outputName, extension);
    } else {
        const std::string ext = UpperAscii(FileExtension(displayName));
        if (ext == ".JPG" || ext == ".JPE" || ext == ".JPEG")
            save = &TImageIO::SaveJpegFile;
        else if (ext == ".PNG")
            save = &TImageIO::SavePngFile;
        else if (ext == ".BMP")
            save = &TImageIO::SaveBmpFile;
        else if (ext == ".GIF")
            save = &TImageIO::SaveGifFile;
        else if (ext == ".TIF")
            save = &TImageIO::SaveTiffFile;
        else if (ext == ".ICO")
            save = &TImageIO::SaveIcoFile;
        else if (ext == ".J2K")
            save = &TImageIO::SaveJ2kFile;
        else if (ext == ".JP2")
            save = &TImageIO::SaveJp2File;
        // Nothing written is no success: a row of another type fails.
        if (!save)
            throw std::runtime_error("no writer for " + ext);
    }
    (m_io.*save)(InFolder(name));
    CheckNotAborted(m_io, "save failed");
}

void BatchProcessor::ResetDocument() {
    m_io.WaitThreads(false);
    m_document.RemoveAllLayers();
    m_document.FillWithBackground();
}

}  // namespace morvane
