#include "ioframe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bytebuilder.h"
#include "imagedocument.h"
#include "tempdir.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// --- a fake codec: what it was handed, and what it is to do ---

enum class WriteOutcome { Succeed, Abort, Throw };

struct FakeCodec {
    // what the reader is to deliver
    int32_t dpiX = 72, dpiY = 96;
    bool withMask = false, maskOpaque = false;
    Bytes profile;
    // what the writer is to do
    WriteOutcome outcome = WriteOutcome::Succeed;
    // what happened
    int32_t readCode = 0, writeCode = 0;
    TPixelFormatKind writtenFormat = pfNoFormat;
    int prepared = 0;
    bool paramsOnly = false;
    Bytes readBytes;
    std::thread::id readThread;
} g;

// Reads the whole stream. Data starting with "BAD" is a malformed file.
template <int32_t Code>
void FakeRead(TReadContext& c) {
    g.readCode = Code;
    g.paramsOnly = c.ParamsOnly;
    g.readThread = std::this_thread::get_id();
    g.readBytes.resize(size_t(c.Stream.Remaining()));
    g.readBytes.resize(c.Stream.Read(g.readBytes.data(), g.readBytes.size()));
    if (std::string(g.readBytes.begin(), g.readBytes.end()).starts_with("BAD")) {
        c.Progress.Abort();
        return;
    }
    c.Params.Width = 3;
    c.Params.Height = 2;
    c.Params.SetDpiX(g.dpiX);
    c.Params.SetDpiY(g.dpiY);
    c.Params.InputICCProfile = g.profile;
    if (c.ParamsOnly)
        return;
    c.Bitmap.Allocate(3, 2, pf24RGB);
    c.Bitmap.Fill(MakeColor(10, 20, 30));
    if (g.withMask) {
        c.AlphaMask = std::make_unique<TPixelMask>(3, 2, 8);
        c.AlphaMask->Fill(255);
        c.AlphaMask->SetPixel(1, 0, 77);
        c.AlphaMask->FullyOpaque = g.maskOpaque;
    }
}

const std::string kWritten = "NEW IMAGE DATA";

template <int32_t Code>
void FakeWrite(TWriteContext& c) {
    g.writeCode = Code;
    g.writtenFormat = c.Bitmap.PixelFormat();
    c.Stream.Write(kWritten.data(), kWritten.size());
    if (g.outcome == WriteOutcome::Abort)
        c.Progress.Abort();
    if (g.outcome == WriteOutcome::Throw)
        throw std::runtime_error("writer failed");
}

void FakePrepare(TImageBuffer&, TImageParams&) {
    ++g.prepared;
}

// JPEG and BMP read and write; TIFF only reads; PNG has no codec at all.
const TCodecEntry kFakeCodecs[] = {
    {ftJPEG, FakeRead<ftJPEG>, FakeWrite<ftJPEG>, FakePrepare},
    {ftBMP, FakeRead<ftBMP>, FakeWrite<ftBMP>, FakePrepare},
    {ftTIFF, FakeRead<ftTIFF>, nullptr},
};

const TCodecEntry* FakeLookup(int32_t fileType) {
    for (const TCodecEntry& entry : kFakeCodecs) {
        if (entry.FileType == fileType)
            return &entry;
    }
    return nullptr;
}

Bytes JpegBytes() {
    return test::ByteBuilder().Be16(0xFFD8).Be16(0xFFE0).Fill(20, 0x11);
}
// Detected as JPEG (the marker follows a 3-byte preamble); the fake reader refuses it.
Bytes BrokenJpegBytes() {
    return test::ByteBuilder().Text("BAD").Be16(0xFFD8).Be16(0xFFE0).Fill(9, 0);
}
Bytes NoiseBytes() {
    return test::ByteBuilder().Text("nothing recognisable here");
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class ImageIOTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g = FakeCodec{};
        io.CodecLookup = &FakeLookup;
        io.OnFinishWork = [this](void* sender) {
            EXPECT_EQ(sender, &io);
            ++finished;
        };
        io.OnProgress = [this](void*, int percent) { progress.push_back(percent); };
    }

    fs::path Write(const std::string& name, const Bytes& bytes) {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return dir / name;
    }

    test::TempDir dir;
    TImageIO io;
    int finished = 0;
    std::vector<int> progress;
};

// --- loading ---

TEST_F(ImageIOTest, LoadChoosesTheReaderByContentThenByExtension) {
    struct Case {
        const char* name;
        Bytes bytes;
        int32_t reader;
    };
    const std::vector<Case> cases = {
        {"photo.bmp", JpegBytes(), ftJPEG},  // content first, whatever the name says
        {"photo.bmp", NoiseBytes(), ftBMP},  // no content match: the extension decides
        {"photo.TIF", NoiseBytes(), ftTIFF},
    };
    for (const Case& c : cases) {
        g.readCode = 0;
        finished = 0;
        fs::path file = Write(c.name, c.bytes);
        io.LoadFile(file);
        EXPECT_EQ(g.readCode, c.reader) << c.name;
        EXPECT_EQ(g.readBytes, c.bytes) << c.name;
        EXPECT_FALSE(io.Aborting) << c.name;
        EXPECT_EQ(io.Params().FileName, file);
        EXPECT_EQ(io.Params().FileType, c.reader);
        EXPECT_EQ(io.IOBitmap()->Width(), 3);
        EXPECT_EQ(finished, 1) << c.name;
    }
}

TEST_F(ImageIOTest, LoadOfAMissingFileRaisesEFOpenErrorAfterFinishing) {
    fs::path missing = dir / "sub" / ".." / "missing.bmp";
    try {
        io.LoadFile(missing);
        FAIL() << "nothing raised";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + (dir / "missing.bmp").string() +
                                             "\". No such file or directory");
        EXPECT_EQ(finished, 1);
        EXPECT_EQ(progress, std::vector<int>{100});
    }
    EXPECT_TRUE(io.Aborting);
    EXPECT_EQ(g.readCode, 0);
}

// Whatever the reason a file cannot be read, the load ends with Aborting set, one finish
// notification and no exception.
TEST_F(ImageIOTest, UnreadableFilesSetAbortingAndRaiseNothing) {
    const Bytes riff = test::ByteBuilder().Text("RIFF").Le32(100).Text("AVI LIST").Fill(8, 0);
    const std::vector<std::pair<fs::path, Bytes>> cases = {
        {"notes.xyz", NoiseBytes()},        // neither content nor extension
        {"missing.xyz", {}},                // no file, and no row for the extension
        {"image.png", NoiseBytes()},        // a row, but no reader in this build
        {"clip.avi", riff},                 // detected, but a code without a row
        {"broken.jpg", BrokenJpegBytes()},  // the reader refuses it
        {"", {}},
    };
    for (auto& [name, bytes] : cases) {
        fs::path file = name.empty() ? fs::path() : dir / name;
        if (!bytes.empty())
            Write(name, bytes);
        io.Aborting = false;
        finished = 0;
        EXPECT_NO_THROW(io.LoadFile(file)) << name;
        EXPECT_TRUE(io.Aborting) << name;
        EXPECT_EQ(finished, 1) << name;
    }
}

TEST_F(ImageIOTest, ReaderResultsAreCompletedByTheFrame) {
    fs::path file = Write("a.bmp", NoiseBytes());
    struct Case {
        int32_t dpiIn, dpiOut;
        bool mask, maskOpaque;
    };
    for (const Case& c :
         {Case{0, 300, true, false}, Case{1, 300, true, true}, Case{2, 2, false, false}}) {
        io.IOBitmap()->Alpha();  // an alpha channel from an earlier image goes
        g.dpiX = c.dpiIn;
        g.dpiY = 150;
        g.withMask = c.mask;
        g.maskOpaque = c.maskOpaque;
        io.LoadFile(file);
        EXPECT_EQ(io.Params().DpiX, c.dpiOut);
        EXPECT_EQ(io.Params().EXIF_XResolution, c.dpiOut);
        EXPECT_EQ(io.Params().DpiY, 150);
        TImageBuffer& bitmap = *io.IOBitmap();
        ASSERT_EQ(bitmap.HasAlpha(), c.mask);
        if (c.mask) {
            EXPECT_EQ(bitmap.Alpha()->GetPixel8(1, 0), 77);
            EXPECT_EQ(bitmap.Alpha()->GetPixel8(2, 1), 255);
            EXPECT_EQ(bitmap.Alpha()->FullyOpaque, c.maskOpaque);
        }
    }
    // TIFF keeps what its reader found.
    g.dpiX = 0;
    io.LoadTiffFile(file);
    EXPECT_EQ(io.Params().DpiX, 0);
}

TEST_F(ImageIOTest, AutoAdjustDPIStretchesTheShorterSideToEqualResolutions) {
    fs::path file = Write("a.bmp", NoiseBytes());
    // The fake image is 3 x 2: wider than high, so its height follows DpiX.
    struct Case {
        bool adjust;
        int32_t dpiX, dpiY;
        int width, height;
        int32_t dpiOut;
    };
    for (const Case& c : {Case{false, 150, 100, 3, 2, 100}, Case{true, 150, 100, 3, 3, 150},
                          Case{true, 100, 100, 3, 2, 100}, Case{true, 300, 100, 3, 6, 300}}) {
        io.AutoAdjustDPI = c.adjust;
        g.dpiX = c.dpiX;
        g.dpiY = c.dpiY;
        g.withMask = true;
        io.LoadFile(file);
        TImageBuffer& bitmap = *io.IOBitmap();
        EXPECT_EQ(bitmap.Width(), c.width);
        EXPECT_EQ(bitmap.Height(), c.height) << c.dpiX << " x " << c.dpiY;
        EXPECT_EQ(io.Params().DpiX, c.dpiX);
        EXPECT_EQ(io.Params().DpiY, c.dpiOut);
        ASSERT_TRUE(bitmap.HasAlpha());
        EXPECT_EQ(bitmap.Alpha()->Height(), c.height);
        EXPECT_EQ(bitmap.PixelAsRGB(2, c.height - 1), (TBGRTriple{30, 20, 10}));
    }
}

// The record describes the last file only; write options survive loads.
TEST_F(ImageIOTest, SecondLoadLeavesNothingOfTheFirst) {
    fs::path file = Write("a.jpg", JpegBytes());
    io.Params().JpegQuality = 55;
    g.profile = {1, 2, 3};
    io.LoadFile(file);
    EXPECT_EQ(io.Params().InputICCProfile, g.profile);
    g.profile.clear();
    io.Params().InputICCProfile = {9};  // as if the reader of the first file had left it
    io.LoadFile(file);
    EXPECT_TRUE(io.Params().InputICCProfile.empty());
    EXPECT_EQ(io.Params().JpegQuality, 55);
}

TEST_F(ImageIOTest, ReadFileParamsReadsNoPixelsAndNeverRaises) {
    io.IOBitmap()->Allocate(5, 5, pf8g);
    const std::vector<std::tuple<fs::path, int32_t, int32_t>> cases = {
        {Write("a.jpg", JpegBytes()), ftJPEG, ftJPEG},
        {Write("b.bmp", JpegBytes()), ftNone, ftNone},  // extension and content disagree
        {dir / "missing.jpg", ftNone, ftNone},
        {Write("c.jpg", BrokenJpegBytes()), ftJPEG, ftNone},
    };
    for (const auto& [file, reader, fileType] : cases) {
        g = FakeCodec{};
        finished = 0;
        EXPECT_NO_THROW(io.ReadFileParams(file));
        EXPECT_EQ(g.readCode, reader) << file;
        EXPECT_EQ(g.paramsOnly, reader != ftNone);
        EXPECT_EQ(io.Params().FileType, fileType) << file;
        EXPECT_EQ(io.Params().FileName, file);
        EXPECT_EQ(finished, 1);
    }
    EXPECT_EQ(io.IOBitmap()->Width(), 5);  // the current image is untouched
}

// --- saving ---

TEST_F(ImageIOTest, SaveReplacesTheTargetOnlyWhenTheWriterSucceeded) {
    struct Case {
        const char* name;
        WriteOutcome outcome;
        bool existing;
        bool replaced;
        bool raises;
    };
    const std::vector<Case> cases = {
        {"success over an old file", WriteOutcome::Succeed, true, true, false},
        {"success as a new file", WriteOutcome::Succeed, false, true, false},
        {"writer aborts", WriteOutcome::Abort, true, false, false},
        {"writer raises", WriteOutcome::Throw, true, false, true},
        {"writer aborts on a new file", WriteOutcome::Abort, false, false, false},
    };
    const std::string original("original bytes\0\x01\xff", 17);
    for (const Case& c : cases) {
        test::TempDir out;
        fs::path target = out / "photo.jpg";
        if (c.existing)
            std::ofstream(target, std::ios::binary) << original;
        g = FakeCodec{};
        g.outcome = c.outcome;
        finished = 0;
        bool raised = false;
        try {
            io.SaveJpegFile(target);
        } catch (const std::runtime_error& e) {
            raised = true;
            EXPECT_EQ(std::string(e.what()), "writer failed");
            EXPECT_EQ(finished, 1) << c.name;
        }
        EXPECT_EQ(raised, c.raises) << c.name;
        EXPECT_EQ(g.writeCode, ftJPEG) << c.name;
        EXPECT_EQ(g.prepared, 1) << c.name;
        EXPECT_EQ(io.Aborting.load(), !c.replaced) << c.name;
        EXPECT_EQ(finished, 1) << c.name;
        if (c.replaced) {
            EXPECT_EQ(ReadAll(target), kWritten) << c.name;
        } else if (c.existing) {
            EXPECT_EQ(ReadAll(target), original) << c.name;
        }
        // Nothing but the target is left in the folder.
        std::vector<std::string> expected;
        if (c.existing || c.replaced)
            expected.push_back("photo.jpg");
        EXPECT_EQ(Listing(out.path()), expected) << c.name;
    }
}

// JPEG (like ICO and JPEG 2000) is written from pf24RGB or pf1g; BMP takes any format.
TEST_F(ImageIOTest, SavePreparesTheBufferPerFormat) {
    struct Case {
        void (TImageIO::*save)(TStream&);
        TPixelFormatKind before, written;
    };
    const std::vector<Case> cases = {
        {&TImageIO::SaveJpegStream, pf8g, pf24RGB},
        {&TImageIO::SaveJpegStream, pfRGB48, pf24RGB},
        {&TImageIO::SaveJpegStream, pf1g, pf1g},
        {&TImageIO::SaveBmpStream, pf8g, pf8g},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(io.IOBitmap()->Allocate(4, 2, c.before));
        io.IOBitmap()->Fill(200);
        TMemoryStream out;
        (io.*c.save)(out);
        EXPECT_EQ(g.writtenFormat, c.written) << c.before;
        EXPECT_EQ(io.IOBitmap()->PixelFormat(), c.written) << c.before;  // in place
    }
    EXPECT_EQ(io.IOBitmap()->Width(), 4);
}

TEST_F(ImageIOTest, SaveIntoAMissingFolderRaisesEFCreateError) {
    fs::path target = dir / "none" / "out.bmp";
    try {
        io.SaveBmpFile(target);
        FAIL() << "nothing raised";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot create file \"" + target.string() + "\". No such file or directory");
        EXPECT_EQ(finished, 1);
    }
    EXPECT_TRUE(io.Aborting);
    EXPECT_EQ(g.writeCode, 0);
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{});
}

TEST_F(ImageIOTest, SaveWithoutAWriterTouchesNothing) {
    const Bytes old = NoiseBytes();
    fs::path target = Write("scan.tif", old);
    for (auto save : {&TImageIO::SaveTiffFile, &TImageIO::SavePngFile}) {
        finished = 0;
        io.Aborting = false;
        EXPECT_NO_THROW((io.*save)(target));
        EXPECT_TRUE(io.Aborting);
        EXPECT_EQ(finished, 1);
    }
    EXPECT_EQ(ReadAll(target), std::string(old.begin(), old.end()));
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"scan.tif"});
}

// With StreamHeaders a stream save writes "JFIF", a zero and the data length; detection
// knows the header and a stream load steps over it.
TEST_F(ImageIOTest, StreamBlockHeaderRoundTrip) {
    TMemoryStream stream;
    stream.Write("xy", 2);
    io.StreamHeaders = true;
    io.SaveJpegStream(stream);
    ASSERT_FALSE(io.Aborting);
    const Bytes expected =
        test::ByteBuilder().Text("xyJFIF").Le32(0).Le32(uint32_t(kWritten.size())).Text(kWritten);
    EXPECT_EQ(stream.Bytes(), expected);
    EXPECT_TRUE(io.Params().FileName.empty());

    stream.Seek(2);
    EXPECT_EQ(FindStreamFormat(stream), ftJPEG);
    io.LoadJpegStream(stream);
    EXPECT_EQ(std::string(g.readBytes.begin(), g.readBytes.end()), kWritten);
    EXPECT_EQ(io.Params().FileType, ftJPEG);

    // Without the option, or for a format without a header, the data is written alone.
    TMemoryStream plain;
    io.SaveBmpStream(plain);
    EXPECT_EQ(plain.Bytes(), Bytes(kWritten.begin(), kWritten.end()));
}

// --- documents, progress, parameters, asynchronous work ---

TEST_F(ImageIOTest, AttachedDocumentReceivesTheImageAndItsResolution) {
    TImageDocument document;
    document.SetResolution(120, 240);
    io.AttachedDocument(&document);
    EXPECT_EQ(io.Params().DpiX, 120);
    EXPECT_EQ(io.Params().DpiY, 240);
    EXPECT_FALSE(io.OwnsBitmap());
    io.LoadFile(Write("a.bmp", NoiseBytes()));
    EXPECT_EQ(document.CurrentBuffer().Width(), 3);
    EXPECT_EQ(io.IOBitmap(), &document.CurrentBuffer());
    EXPECT_EQ(document.DpiX(), 72);
    EXPECT_EQ(document.DpiY(), 96);
    io.SetBackground(MakeColor(1, 2, 3));
    EXPECT_EQ(document.Background, MakeColor(1, 2, 3));
    EXPECT_EQ(io.EffectiveBackground(), MakeColor(1, 2, 3));
    io.AttachedDocument(nullptr);
    EXPECT_TRUE(io.OwnsBitmap());
    EXPECT_EQ(io.EffectiveBackground(), io.Background);
}

TEST(TProgressRec, ReportsRoundedPercentOncePerChange) {
    std::atomic<bool> aborting{false};
    std::vector<int> reported;
    TProgressRec progress;
    progress.fOnProgress = [&](void*, int percent) { reported.push_back(percent); };
    progress.Aborting = &aborting;
    progress.Start(8);
    for (int i = 0; i < 8; ++i)
        progress.Step();
    // 12.5 and 62.5 round to even, 37.5 and 87.5 up.
    EXPECT_EQ(reported, (std::vector<int>{12, 25, 38, 50, 62, 75, 88, 100}));

    reported.clear();
    progress.Start(1000);
    for (int i = 0; i < 1000; ++i)
        progress.Step();
    EXPECT_EQ(reported.size(), 101u);  // 0 (first unit) to 100, each once
    EXPECT_FALSE(progress.IsAborting());
    progress.Abort();
    EXPECT_TRUE(aborting);
}

TEST(TImageParams, DefaultsIndexAndResolution) {
    TImageIO io;
    TImageParams& params = io.Params();
    params.JpegQuality = 10;
    params.TiffCompression = 5;
    params.ColorMap.resize(4);
    params.SetDefaultParams();
    EXPECT_EQ(params.JpegQuality, 80);
    EXPECT_EQ(params.TiffCompression, 0);
    EXPECT_TRUE(params.ColorMap.empty());
    EXPECT_EQ(params.Owner, &io);

    params.SetImageIndex(2);
    EXPECT_EQ(params.ImageIndex, 2);
    EXPECT_EQ(params.TiffImageIndex, 2);
    EXPECT_EQ(params.GifImageIndex, 2);
    EXPECT_EQ(params.IcoImageIndex, 2);

    TImageDocument document;
    io.AttachedDocument(&document);
    params.SetDpiX(72);
    params.SetDpiY(150);
    EXPECT_EQ(params.EXIF_XResolution, 72.0);
    EXPECT_EQ(params.EXIF_YResolution, 150.0);
    EXPECT_EQ(document.DpiX(), 72);
    EXPECT_EQ(document.DpiY(), 150);
    io.AttachedDocument(nullptr);
}

TEST_F(ImageIOTest, AsyncModeRunsOnAWorkerUntilWaitThreads) {
    fs::path file = Write("a.bmp", NoiseBytes());
    io.WaitThreads(false);  // nothing pending: returns at once
    io.AsyncMode = true;

    // A buffer of its own keeps the object synchronous.
    io.LoadFile(file);
    EXPECT_EQ(g.readThread, std::this_thread::get_id());
    EXPECT_EQ(finished, 1);

    TImageBuffer external;
    io.SetIOBitmap(&external);
    for (int i = 0; i < 3; ++i)
        io.LoadFile(file);
    io.SaveBmpFile(dir / "copy.bmp");
    io.WaitThreads(false);
    EXPECT_NE(g.readThread, std::this_thread::get_id());
    EXPECT_EQ(finished, 5);
    EXPECT_EQ(external.Width(), 3);
    EXPECT_EQ(ReadAll(dir / "copy.bmp"), kWritten);
    io.SetIOBitmap(nullptr);
}

}  // namespace
}  // namespace morvane
