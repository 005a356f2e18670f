#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tempdir.h"

#ifdef MORVANE_BATCH

namespace morvane {
namespace {

namespace fs = std::filesystem;

struct Result {
    int Exit = -1;
    std::string Out, Err;
};

std::string Quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// Runs the program with a home folder of its own, output captured in files (never a
// terminal, so no colours and no progress line).
Result RunBatch(const test::TempDir& dir, const std::vector<std::string>& args) {
    std::string command =
        "env HOME=" + Quote(dir.path().string()) + " XDG_CONFIG_HOME= " + Quote(MORVANE_BATCH);
    for (const std::string& a : args)
        command += " " + Quote(a);
    command += " >" + Quote((dir / "stdout").string()) + " 2>" + Quote((dir / "stderr").string()) +
               " </dev/null";
    int status = std::system(command.c_str());
    Result r;
    r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.Out = ReadAll(dir / "stdout");
    r.Err = ReadAll(dir / "stderr");
    return r;
}

TEST(MorvaneBatch, VersionAndHelp) {
    test::TempDir dir;
    Result v = RunBatch(dir, {"--version"});
    EXPECT_EQ(v.Exit, 0);
    EXPECT_EQ(v.Out, "1.1.0\n");
    Result h = RunBatch(dir, {"--help"});
    EXPECT_EQ(h.Exit, 0);
    EXPECT_TRUE(h.Out.starts_with("Usage: morvane-batch [--settings FILE] [--set KEY=VALUE]..."));
    EXPECT_NE(h.Out.find("Exit status:"), std::string::npos);
}

TEST(MorvaneBatch, UsageErrorsExitWith2AndSayWhy) {
    test::TempDir dir;
    WriteText(dir / "a.jpg", "x");
    const std::string image = (dir / "a.jpg").string();
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{}, "no PATH given"},
        {{"--bogus", image}, "unknown option '--bogus'"},
        {{"--set", "Bogus=1", image}, "unknown settings key 'Bogus'"},
        {{"--set", "JPEGQuality=high", image}, "'high' is not a number (key JPEGQuality)"},
        {{"--set", "JPEGQuality", image}, "is not KEY=VALUE"},
        {{"--settings", (dir / "none.ini").string(), image}, "cannot read the settings file"},
        {{image, "--output"}, "option '--output' needs a value"},
        {{"--set=Resize=0", "--set=Convert=0", image},
         "Select at least one task: resize, convert, rename or add watermark."},
    };
    for (const Case& c : cases) {
        Result r = RunBatch(dir, c.args);
        EXPECT_EQ(r.Exit, 2) << c.message;
        EXPECT_NE(r.Err.find(c.message), std::string::npos) << r.Err;
    }
}

TEST(MorvaneBatch, SuccessfulJobPrintsPlainLinesAndExits0) {
    test::TempDir dir;
    WriteText(dir / "in" / "b.png", "second");
    WriteText(dir / "in" / "a.jpg", "first");
    WriteText(dir / "in" / "notes.txt", "not an image");
    WriteText(dir / "job.ini", "[General]\nResize=0\nConvert=0\nRename=1\nRenameText=img\n");
    Result r = RunBatch(dir, {"--settings", (dir / "job.ini").string(), "--output",
                         (dir / "out").string(), (dir / "in").string()});
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(ReadAll(dir / "out" / "img1.jpg"), "first");
    EXPECT_EQ(ReadAll(dir / "out" / "img2.png"), "second");
    EXPECT_NE(r.Out.find("\n[01] Processing a.jpg... OK\n[02] Processing b.png... OK\nDone in "),
              std::string::npos)
        << r.Out;
    EXPECT_EQ(r.Out.find('\033'), std::string::npos);  // no colours into a file
    EXPECT_TRUE(r.Err.empty()) << r.Err;
    // The settings file is never written.
    EXPECT_EQ(ReadAll(dir / "job.ini"),
              "[General]\nResize=0\nConvert=0\nRename=1\nRenameText=img\n");
    EXPECT_FALSE(fs::exists(dir / ".config" / "morvane.ini"));
}

TEST(MorvaneBatch, FailuresExitWith1) {
    test::TempDir dir;
    WriteText(dir / "bad.bmp", "not a bitmap");
    WriteText(dir / "blocker", "a file where the folder should go");
    const std::string bad = (dir / "bad.bmp").string();
    struct Case {
        std::vector<std::string> args;
        const char* expected;  // in standard output or standard error
    };
    const Case cases[] = {
        {{"--set", "Resize=0", "--set", "ConvertItem=2", "--output", (dir / "out").string(), bad},
         "[01] Processing bad.bmp... Error"},
        {{"--output", (dir / "blocker" / "sub").string(), bad}, "... Error\nDone.\n"},
        {{(dir / "nothing").string()}, "no image file found"},
    };
    for (const Case& c : cases) {
        Result r = RunBatch(dir, c.args);
        EXPECT_EQ(r.Exit, 1) << c.expected;
        EXPECT_NE((r.Out + r.Err).find(c.expected), std::string::npos) << r.Out << r.Err;
    }
}

}  // namespace
}  // namespace morvane

#endif
