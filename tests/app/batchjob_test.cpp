#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "batchjob.h"
#include "importer.h"
#include "ioframe.h"
#include "jobsettings.h"
#include "tempdir.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

constexpr TBGRTriple kRed{0, 0, 255};
constexpr TBGRTriple kBlue{255, 0, 0};

struct LogLine {
    std::string Text;
    TColor Colour;
    friend bool operator==(const LogLine&, const LogLine&) = default;
};

std::ostream& operator<<(std::ostream& os, const LogLine& line) {
    return os << '"' << line.Text << "\" #" << std::hex << line.Colour << std::dec;
}

// Records what the job reports, in order.
class RecordingObserver : public JobObserver {
  public:
    void WriteLog(const std::string& text, TColor colour) override {
        Lines.push_back({text, colour});
    }
    void Progress(int64_t position, int64_t maximum) override {
        LastPosition = position;
        Maximum = maximum;
    }
    void StateChanged(JobState state) override { States.push_back(state); }
    void ShowMessage(JobMessageKind kind, const std::string& text) override {
        Messages.push_back({kind, text});
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const LogLine& line : Lines)
            texts.push_back(line.Text);
        return texts;
    }

    std::vector<LogLine> Lines;
    std::vector<JobState> States;
    std::vector<std::pair<JobMessageKind, std::string>> Messages;
    int64_t LastPosition = -1, Maximum = -1;
};

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

// A plain image file of one colour, written through the frame by its extension.
void WriteImage(const fs::path& file, int width, int height, TBGRTriple colour) {
    fs::create_directories(file.parent_path());
    TImageBuffer buffer(width, height, pf24RGB);
    ASSERT_FALSE(buffer.IsEmpty());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            buffer.SetPixel24(x, y, colour);
    }
    TImageIO io;
    io.SetIOBitmap(&buffer);
    std::string ext = FileExtension(file);
    if (ext == ".png") {
        io.SavePngFile(file);
    } else if (ext == ".jpg" || ext == ".jpeg") {
        io.Params().JpegQuality = 95;
        io.SaveJpegFile(file);
    } else {
        io.SaveBmpFile(file);
    }
    ASSERT_FALSE(io.Aborting.load()) << file;
}

struct Loaded {
    int Width = 0, Height = 0;
    int32_t FileType = 0;
    TImageBuffer Image;
};

void LoadImage(const fs::path& file, Loaded& out) {
    TImageIO io;
    io.SetIOBitmap(&out.Image);
    io.LoadFile(file);
    ASSERT_FALSE(io.Aborting.load()) << file;
    out.Width = out.Image.Width();
    out.Height = out.Image.Height();
    out.FileType = io.Params().FileType;
}

// The scenarios that decode and encode need the codecs of their formats; until a codec
// is registered in this build they are skipped rather than failed.
#define REQUIRE_CODECS(...)                                       \
    do {                                                          \
        for (int32_t type : {__VA_ARGS__}) {                      \
            if (!FindCodec(type))                                 \
                GTEST_SKIP() << "codec " << type << " not built"; \
        }                                                         \
    } while (0)

ImageEntry Row(const fs::path& file) {
    return {file.filename().string(), "", file};
}

std::vector<ImageEntry> Rows(const std::vector<fs::path>& files) {
    std::vector<ImageEntry> rows;
    for (const fs::path& f : files)
        rows.push_back(Row(f));
    return rows;
}

// Only the given task on; everything else at its defaults.
JobSettings Tasks(bool resize, bool convert, bool rename, bool watermark, const fs::path& out) {
    JobSettings s;
    s.Resize = resize;
    s.Convert = convert;
    s.Rename = rename;
    s.Watermark = watermark;
    s.Output = out.string();
    ApplyPreset(s);
    return s;
}

// Runs a whole job on the calling thread; the elapsed time is given, not waited for.
void RunWholeJob(BatchProcessor& job, const JobSettings& s, std::vector<ImageEntry> rows) {
    ASSERT_EQ(job.StartJob(s, std::move(rows)), StartOutcome::Started);
    job.RunJob();
    job.FinishJob(0);
}

class BatchJobTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    RecordingObserver log;
    BatchProcessor job{log};
};

TEST(JobTexts, FileLinesAndDoneMessages) {
    EXPECT_EQ(FileLine(1, "a.jpg", true), "[01] Processing a.jpg... OK");
    EXPECT_EQ(FileLine(10, "b c.png", false), "[10] Processing b c.png... Error");
    EXPECT_EQ(FileLine(123, "x", true), "[123] Processing x... OK");
    EXPECT_EQ(FileLine(40000, "x", true), "[40000] Processing x... OK");
    struct Case {
        int32_t seconds;
        const char* text;
    };
    const Case cases[] = {{0, "Done in 0 seconds."},
                          {1, "Done in 1 seconds."},
                          {60, "Done in 60 seconds."},
                          {61, "Done in 1 minutes and 1 seconds."},
                          {120, "Done in 2 minutes and 0 seconds."},
                          {125, "Done in 2 minutes and 5 seconds."}};
    for (const Case& c : cases)
        EXPECT_EQ(DoneMessage(c.seconds), c.text);
    EXPECT_EQ(ReplaceExtension("a.b1.jpg", ".png"), "a.b1.png");
    EXPECT_EQ(ReplaceExtension("noext", ".png"), "noext.png");
}

TEST_F(BatchJobTest, RenameOnlyCopiesBytesUnderNumberedNames) {
    // Not images at all: renaming alone never decodes.
    WriteBytes(dir / "src" / "a.jpg", "jpeg bytes");
    WriteBytes(dir / "src" / "b.PNG", std::string("png\0bytes", 9));
    WriteBytes(dir / "src" / "c", "no extension");
    WriteBytes(dir / "out" / "img1.jpg", "older file replaced");
    JobSettings s = Tasks(false, false, true, false, dir / "out/");
    s.RenameText = "img";
    RunWholeJob(job, s, Rows({dir / "src" / "a.jpg", dir / "src" / "b.PNG", dir / "src" / "c"}));

    EXPECT_EQ(ReadBytes(dir / "out" / "img1.jpg"), "jpeg bytes");
    EXPECT_EQ(ReadBytes(dir / "out" / "img2.PNG"), std::string("png\0bytes", 9));
    EXPECT_EQ(ReadBytes(dir / "out" / "img3"), "no extension");
    const std::string folder = (dir / "out/").string();
    EXPECT_EQ(log.Lines, (std::vector<LogLine>{
                             {"Tasks:", kLogBlack},
                             {" - Rename images", kLogBlack},
                             {"Looking for directory " + folder + "... Found", kLogGreen},
                             {"Process started...", kLogBlack},
                             {"[01] Processing a.jpg... OK", kLogGreen},
                             {"[02] Processing b.PNG... OK", kLogGreen},
                             {"[03] Processing c... OK", kLogGreen},
                             {"Done in 0 seconds.", kLogBlack},
                         }));
    EXPECT_EQ(log.States,
              (std::vector<JobState>{JobState::Starting, JobState::Running, JobState::Finished}));
    EXPECT_EQ(log.LastPosition, 3);
    EXPECT_EQ(log.Maximum, 3);
    EXPECT_TRUE(job.Summary().AllOk());
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 3);
}

TEST_F(BatchJobTest, PrefixOfBlanksKeepsNamesAndACopyOntoItselfFails) {
    WriteBytes(dir / "src" / "a.jpg", "first");
    WriteBytes(dir / "src" / "b.bmp", "second");
    JobSettings s = Tasks(false, false, true, false, dir / "out");
    s.RenameText = "   ";
    RunWholeJob(job, s, Rows({dir / "src" / "a.jpg", dir / "src" / "b.bmp"}));
    EXPECT_EQ(ReadBytes(dir / "out" / "a.jpg"), "first");
    EXPECT_EQ(ReadBytes(dir / "out" / "b.bmp"), "second");

    RecordingObserver log2;
    BatchProcessor job2(log2);
    s.Output = (dir / "src").string();
    RunWholeJob(job2, s, Rows({dir / "src" / "a.jpg", dir / "src" / "b.bmp"}));
    EXPECT_EQ(log2.Lines[4], (LogLine{"[01] Processing a.jpg... Error", kLogRed}));
    EXPECT_EQ(log2.Lines[5], (LogLine{"[02] Processing b.bmp... Error", kLogRed}));
    EXPECT_EQ(ReadBytes(dir / "src" / "a.jpg"), "first");  // unharmed
    EXPECT_EQ(job2.Summary().Failed, 2);
    EXPECT_FALSE(job2.Summary().AllOk());
}

TEST_F(BatchJobTest, NoTaskOnlyWarns) {
    JobSettings s = Tasks(false, false, false, false, dir.path());
    EXPECT_EQ(job.StartJob(s, Rows({dir / "a.bmp"})), StartOutcome::NoTask);
    EXPECT_TRUE(log.Lines.empty());
    EXPECT_TRUE(log.States.empty());
    ASSERT_EQ(log.Messages.size(), 1u);
    EXPECT_EQ(log.Messages[0].first, JobMessageKind::Warning);
    EXPECT_EQ(log.Messages[0].second,
              "Select at least one task: resize, convert, rename or add watermark.");
}

TEST_F(BatchJobTest, OutputFolderTwoLevelsDownIsCreated) {
    WriteBytes(dir / "a.jpg", "x");
    const fs::path out = dir / "one" / "two";
    JobSettings s = Tasks(true, true, true, false, out);
    s.Resize = s.Convert = false;
    ASSERT_EQ(job.StartJob(s, Rows({dir / "a.jpg"})), StartOutcome::Started);
    EXPECT_EQ(log.Texts(),
              (std::vector<std::string>{"Tasks:", " - Rename images",
                                        "Looking for directory " + out.string() + "... Not found",
                                        "Creating output directory " + out.string() + "... OK"}));
    EXPECT_EQ(log.Lines[2].Colour, kLogRed);
    EXPECT_EQ(log.Lines[3].Colour, kLogGreen);
    EXPECT_TRUE(fs::is_directory(out));
    job.RunJob();
    EXPECT_EQ(ReadBytes(out / "a.jpg"), "x");
}

TEST_F(BatchJobTest, OutputFolderThatCannotBeMadeStopsTheJob) {
    WriteBytes(dir / "file", "in the way");
    JobSettings s = Tasks(true, true, false, false, dir / "file" / "sub");
    EXPECT_EQ(job.StartJob(s, Rows({dir / "a.bmp"})), StartOutcome::FolderFailed);
    const std::string folder = (dir / "file" / "sub").string();
    EXPECT_EQ(log.Lines, (std::vector<LogLine>{
                             {"Tasks:", kLogBlack},
                             {" - Resize images", kLogBlack},
                             {" - Convert to JPEG", kLogBlack},
                             {"Looking for directory " + folder + "... Not found", kLogRed},
                             {"Creating output directory " + folder + "... Error", kLogRed},
                             {"Done.", kLogBlack},
                         }));
    EXPECT_EQ(log.States.back(), JobState::FolderFailed);
    EXPECT_TRUE(job.Summary().FolderFailed);
}

TEST_F(BatchJobTest, EmptyFolderBoxShowsTheErrorBox) {
    JobSettings s = Tasks(true, false, false, false, "");
    s.ConvertItem = 3;
    s.Convert = true;
    EXPECT_EQ(job.StartJob(s, Rows({dir / "a.bmp"})), StartOutcome::FolderFailed);
    ASSERT_EQ(log.Messages.size(), 1u);
    EXPECT_EQ(log.Messages[0],
              std::make_pair(JobMessageKind::Error, std::string("Unable to create directory")));
    EXPECT_EQ(log.Texts(),
              (std::vector<std::string>{"Tasks:", " - Resize images", " - Convert to GIF",
                                        "Looking for directory ... Not found"}));
    EXPECT_EQ(log.States.back(), JobState::FolderFailed);
}

TEST_F(BatchJobTest, ResizeFollowsTheOrientation) {
    REQUIRE_CODECS(ftBMP);
    struct Case {
        int width, height;
        bool proportions;
        int outWidth, outHeight;
    };
    // Target 64 x 48 (the custom preset): the cases of 640 x 480 at a tenth of the size.
    const Case cases[] = {
        {400, 300, true, 64, 48},  // landscape: fit the width
        {300, 400, true, 36, 48},  // portrait: fit the height
        {50, 40, true, 50, 40},    // within the target: untouched
        {60, 50, true, 64, 53},    // only the height exceeds, yet the width is fitted
        {30, 50, false, 64, 48},   // without proportions: exactly the target
    };
    std::vector<fs::path> files;
    for (const Case& c : cases) {
        files.push_back(dir / "src" /
                        (std::to_string(c.width) + "x" + std::to_string(c.height) +
                         (c.proportions ? "p" : "") + ".bmp"));
        WriteImage(files.back(), c.width, c.height, kRed);
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        JobSettings s = Tasks(true, false, false, false, dir / "out");
        s.ResizeItem = 8;
        s.CustomWidth = 64;
        s.CustomHeight = 48;
        s.Proportions = cases[i].proportions;
        ApplyPreset(s);
        RunWholeJob(job, s, {Row(files[i])});
        Loaded out;
        LoadImage(dir / "out" / files[i].filename(), out);
        EXPECT_EQ(out.Width, cases[i].outWidth) << files[i];
        EXPECT_EQ(out.Height, cases[i].outHeight) << files[i];
        EXPECT_EQ(out.Image.GetPixel24(out.Width / 2, out.Height / 2), kRed);
    }
}

TEST_F(BatchJobTest, OutputOverTheSourcesReplacesThem) {
    REQUIRE_CODECS(ftBMP);
    WriteImage(dir / "a.bmp", 200, 100, kRed);
    WriteImage(dir / "b.bmp", 20, 10, kRed);
    JobSettings s = Tasks(true, false, false, false, dir.path());
    s.ResizeItem = 8;
    s.CustomWidth = 64;
    s.CustomHeight = 48;
    ApplyPreset(s);
    RunWholeJob(job, s, Rows({dir / "a.bmp", dir / "b.bmp"}));
    EXPECT_TRUE(job.Summary().AllOk());
    Loaded a, b;
    LoadImage(dir / "a.bmp", a);
    LoadImage(dir / "b.bmp", b);
    EXPECT_EQ(a.Width, 64);
    EXPECT_EQ(a.Height, 32);
    EXPECT_EQ(b.Width, 20);
}

TEST_F(BatchJobTest, PrefixWithADotAndConvertToPng) {
    REQUIRE_CODECS(ftBMP, ftPNG);
    WriteImage(dir / "src" / "photo.bmp", 8, 6, kRed);
    JobSettings s = Tasks(false, true, true, false, dir / "out");
    s.ConvertItem = 1;
    s.RenameText = "a.b";
    RunWholeJob(job, s, Rows({dir / "src" / "photo.bmp"}));
    EXPECT_EQ(log.Lines[1].Text, " - Convert to PNG");
    Loaded out;
    LoadImage(dir / "out" / "a.b1.png", out);
    EXPECT_EQ(out.FileType, 8);  // PNG
    EXPECT_EQ(out.Width, 8);
}

TEST_F(BatchJobTest, JpegExtensionKeptWithoutConvert) {
    REQUIRE_CODECS(ftJPEG);
    WriteImage(dir / "src" / "x.jpeg", 16, 16, kRed);
    JobSettings s = Tasks(true, false, false, false, dir / "out");
    RunWholeJob(job, s, Rows({dir / "src" / "x.jpeg"}));
    ASSERT_TRUE(job.Summary().AllOk());
    EXPECT_EQ(ReadBytes(dir / "out" / "x.jpeg").substr(0, 3), "\xFF\xD8\xFF");
}

TEST_F(BatchJobTest, WatermarkPlacements) {
    REQUIRE_CODECS(ftBMP);
    WriteImage(dir / "src" / "image.bmp", 640, 480, kRed);
    WriteImage(dir / "mark.bmp", 100, 50, kBlue);
    struct Case {
        int16_t position, mx, my;
        int x, y;
    };
    const Case cases[] = {{8, 10, 5, 530, 425}, {4, 0, 0, 270, 215}, {0, 7, 3, 7, 3}};
    for (const Case& c : cases) {
        JobSettings s = Tasks(false, false, false, true, dir / "out");
        s.WatermarkPath = (dir / "mark.bmp").string();
        s.LayerPosition = c.position;
        s.MarginX = c.mx;
        s.MarginY = c.my;
        RunWholeJob(job, s, Rows({dir / "src" / "image.bmp"}));
        Loaded out;
        LoadImage(dir / "out" / "image.bmp", out);
        ASSERT_EQ(out.Width, 640);
        ASSERT_EQ(out.Height, 480);
        EXPECT_EQ(out.Image.GetPixel24(c.x, c.y), kBlue) << c.position;
        EXPECT_EQ(out.Image.GetPixel24(c.x + 99, c.y + 49), kBlue) << c.position;
        EXPECT_EQ(out.Image.GetPixel24(c.x - 1, c.y), kRed) << c.position;
        EXPECT_EQ(out.Image.GetPixel24(c.x + 100, c.y + 49), kRed) << c.position;
        EXPECT_EQ(out.Image.GetPixel24(c.x, c.y + 50), kRed) << c.position;
    }
}

TEST_F(BatchJobTest, LargerWatermarkEnlargesAndMissingOneIsSkipped) {
    REQUIRE_CODECS(ftBMP);
    WriteImage(dir / "src" / "small.bmp", 50, 40, kRed);
    WriteImage(dir / "big.bmp", 100, 100, kBlue);
    JobSettings s = Tasks(false, false, false, true, dir / "out");
    s.WatermarkPath = (dir / "big.bmp").string();
    s.LayerPosition = 8;  // negative position: the canvas grows to the left and top
    RunWholeJob(job, s, Rows({dir / "src" / "small.bmp"}));
    Loaded out;
    LoadImage(dir / "out" / "small.bmp", out);
    EXPECT_EQ(out.Width, 100);
    EXPECT_EQ(out.Height, 100);

    s.WatermarkPath = (dir / "missing.bmp").string();
    RunWholeJob(job, s, Rows({dir / "src" / "small.bmp"}));
    EXPECT_TRUE(job.Summary().AllOk());
    LoadImage(dir / "out" / "small.bmp", out);
    EXPECT_EQ(out.Width, 50);
    EXPECT_EQ(out.Height, 40);
    EXPECT_EQ(out.Image.GetPixel24(49, 39), kRed);
}

TEST_F(BatchJobTest, FailingFilesAreLoggedAndTheJobGoesOn) {
    REQUIRE_CODECS(ftBMP);
    WriteImage(dir / "a.bmp", 8, 8, kRed);
    WriteBytes(dir / "b.bmp", "BM but nothing else that makes a bitmap");  // Aborting, no exception
    WriteBytes(dir / "c.bmp", "");                                         // empty
    WriteImage(dir / "e.bmp", 8, 8, kRed);
    JobSettings s = Tasks(false, true, false, false, dir / "out");
    s.ConvertItem = 2;
    RunWholeJob(
        job, s,
        Rows({dir / "a.bmp", dir / "b.bmp", dir / "c.bmp", dir / "gone.bmp", dir / "e.bmp"}));
    const std::vector<std::string> texts = log.Texts();
    ASSERT_EQ(texts.size(), 11u);
    EXPECT_EQ(std::vector<std::string>(texts.begin() + 5, texts.end() - 1),
              (std::vector<std::string>{
                  "[01] Processing a.bmp... OK", "[02] Processing b.bmp... Error",
                  "[03] Processing c.bmp... Error", "[04] Processing gone.bmp... Error",
                  "[05] Processing e.bmp... OK"}));
    EXPECT_EQ(log.Lines[6].Colour, kLogRed);
    EXPECT_FALSE(fs::exists(dir / "out" / "b.bmp"));
    EXPECT_EQ(job.Summary().Failed, 3);
    Loaded e;
    LoadImage(dir / "out" / "e.bmp", e);
    EXPECT_EQ(e.Width, 8);
}

TEST_F(BatchJobTest, CancelDuringTheThirdOfTen) {
    REQUIRE_CODECS(ftBMP);
    std::vector<fs::path> files;
    for (int i = 0; i < 10; ++i) {
        files.push_back(dir / ("f" + std::to_string(i) + ".bmp"));
        WriteImage(files.back(), 4, 4, kRed);
    }
    // Every load and save ends with OnFinishWork: the fifth is the third file's load.
    int finished = 0;
    job.IO().OnFinishWork = [&](void*) {
        if (++finished == 5)
            job.Cancel();
    };
    JobSettings s = Tasks(false, true, false, false, dir / "out");
    s.ConvertItem = 2;
    ASSERT_EQ(job.StartJob(s, Rows(files)), StartOutcome::Started);
    job.RunJob();
    job.FinishJob(1);
    std::vector<std::string> texts = log.Texts();
    ASSERT_EQ(texts.size(), 10u);
    EXPECT_EQ(texts[6], "[02] Processing f1.bmp... OK");
    EXPECT_TRUE(texts[7].starts_with("[03] Processing f2.bmp... "));
    EXPECT_EQ(texts[8], "Process cancelled...");
    EXPECT_EQ(log.Lines[8].Colour, kLogRed);
    EXPECT_EQ(texts[9], "Done in 1 seconds.");
    EXPECT_EQ(log.LastPosition, 10);  // the bar is full
    EXPECT_TRUE(job.Summary().Cancelled);
    EXPECT_FALSE(fs::exists(dir / "out" / "f3.bmp"));
}

TEST_F(BatchJobTest, FormatWithoutAWriterFails) {
    REQUIRE_CODECS(ftBMP);
    WriteImage(dir / "a.bmp", 4, 4, kRed);
    JobSettings s = Tasks(false, true, false, false, dir / "out");
    s.ConvertItem = 7;  // a damaged settings file: no format selected
    RunWholeJob(job, s, Rows({dir / "a.bmp"}));
    EXPECT_EQ(log.Texts()[3], "Process started...");  // no convert line for no format
    EXPECT_EQ(log.Texts()[4], "[01] Processing a.bmp... Error");
}

}  // namespace
}  // namespace morvane
