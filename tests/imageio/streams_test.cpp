#include "streams.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "tempdir.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes Ramp(size_t n) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = uint8_t(i * 7 + i / 256);
    return bytes;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

mode_t CurrentUmask() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

TEST(TMemoryStream, GrowsAndZeroFillsASeekPastTheEnd) {
    TMemoryStream stream;
    EXPECT_EQ(stream.Write("ab", 2), 2u);
    stream.Seek(5);
    EXPECT_EQ(stream.Write("c", 1), 1u);
    EXPECT_EQ(stream.Bytes(), (Bytes{'a', 'b', 0, 0, 0, 'c'}));
    stream.Seek(1);
    char out[8] = {};
    EXPECT_EQ(stream.Read(out, sizeof out), 5u);  // short at the end
    EXPECT_EQ(stream.Read(out, 1), 0u);
    EXPECT_EQ(stream.Position(), 6);
}

TEST(TMemoryStream, ViewIsReadOnly) {
    const uint8_t data[3] = {1, 2, 3};
    TMemoryStream view(data, sizeof data);
    EXPECT_EQ(view.Write("x", 1), 0u);
    EXPECT_EQ(view.Size(), 3);
    uint8_t out[3];
    EXPECT_TRUE(view.ReadExact(out, 3));
    EXPECT_EQ(out[2], 3);
}

// Reads of every size through a small buffer, with seeks inside and outside the buffered
// window, give the source's bytes; the source is left at the logical position.
TEST(TBufferedReadStream, MatchesTheSource) {
    const Bytes source = Ramp(1000);
    TMemoryStream inner(source.data(), source.size());
    inner.Seek(3);
    {
        TBufferedReadStream buffered(inner, 64);
        Bytes got;
        for (size_t n = 1; got.size() + 3 < source.size(); n = n % 150 + 7) {
            uint8_t chunk[160];
            size_t read = buffered.Read(chunk, n);
            ASSERT_GT(read, 0u);
            got.insert(got.end(), chunk, chunk + read);
        }
        EXPECT_TRUE(std::equal(got.begin(), got.end(), source.begin() + 3));

        for (int64_t target : {990, 500, 505, 498, 0, 64, 63}) {
            buffered.Seek(target);
            uint8_t b = 0;
            ASSERT_EQ(buffered.Read(&b, 1), 1u);
            EXPECT_EQ(b, source[size_t(target)]) << target;
        }
        EXPECT_EQ(buffered.Position(), 64);
    }
    EXPECT_EQ(inner.Position(), 64);
}

TEST(TWideFileStream, OpenAndCreateErrorsNameTheExpandedFile) {
    test::TempDir dir;
    fs::path cwd = fs::current_path();
    fs::current_path(dir.path());
    struct Case {
        fs::path name;
        TWideFileStream::Mode mode;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"sub/../missing.jpg", TWideFileStream::Mode::OpenRead,
         "Cannot open file \"" + (dir / "missing.jpg").string() + "\". No such file or directory"},
        {dir.path(), TWideFileStream::Mode::OpenRead,
         "Cannot open file \"" + dir.path().string() + "\". Is a directory"},
        {"nofolder/out.png", TWideFileStream::Mode::Create,
         "Cannot create file \"" + (dir / "nofolder/out.png").string() +
             "\". No such file or directory"},
    };
    for (const Case& c : cases) {
        try {
            TWideFileStream stream(c.name, c.mode);
            ADD_FAILURE() << c.name << " opened";
        } catch (const EFOpenError& e) {
            EXPECT_EQ(c.mode, TWideFileStream::Mode::OpenRead);
            EXPECT_EQ(e.what(), c.message);
        } catch (const EFCreateError& e) {
            EXPECT_EQ(c.mode, TWideFileStream::Mode::Create);
            EXPECT_EQ(e.what(), c.message);
        }
    }
    fs::current_path(cwd);
}

TEST(TWideFileStream, WritesReadsAndSeeks) {
    test::TempDir dir;
    const Bytes data = Ramp(300);
    {
        TWideFileStream out(dir / "f.bin", TWideFileStream::Mode::Create);
        EXPECT_EQ(out.Write(data.data(), data.size()), data.size());
        EXPECT_EQ(out.Size(), 300);
    }
    TWideFileStream in(dir / "f.bin", TWideFileStream::Mode::OpenRead);
    in.Seek(290);
    uint8_t tail[20];
    EXPECT_EQ(in.Read(tail, sizeof tail), 10u);
    EXPECT_EQ(tail[9], data[299]);
    EXPECT_EQ(in.Position(), 300);
}

TEST(ReplacingFileStream, ReplacesOnlyOnCommit) {
    test::TempDir dir;
    const fs::path target = dir / "photo.jpg";
    WriteAll(target, "original");
    {
        ReplacingFileStream out(target);
        out.Write("half", 4);
        EXPECT_EQ(out.TemporaryPath().parent_path(), dir.path());
    }
    EXPECT_EQ(ReadAll(target), "original");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
    {
        ReplacingFileStream out(target);
        out.Write("new", 3);
        out.Commit();
    }
    EXPECT_EQ(ReadAll(target), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
}

// The temporary name stays within the file system's limit for a long target name.
TEST(ReplacingFileStream, LongTargetName) {
    test::TempDir dir;
    const fs::path target = dir / (std::string(250, 'n') + ".jpg");
    ReplacingFileStream out(target);
    out.Write("x", 1);
    out.Commit();
    EXPECT_EQ(ReadAll(target), "x");
}

// A new file gets what a plain create gives; a replaced file keeps its own mode; a
// symbolic link keeps pointing at the (replaced) file.
TEST(ReplacingFileStream, PermissionsAndLinks) {
    test::TempDir dir;
    {
        ReplacingFileStream out(dir / "new.png");
        out.Commit();
    }
    struct stat st {};
    ASSERT_EQ(::stat((dir / "new.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~CurrentUmask());

    WriteAll(dir / "kept.png", "old");
    ::chmod((dir / "kept.png").c_str(), 0640);
    fs::create_symlink("kept.png", dir / "link.png");
    {
        ReplacingFileStream out(dir / "link.png");
        out.Write("via link", 8);
        out.Commit();
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link.png"));
    EXPECT_EQ(ReadAll(dir / "kept.png"), "via link");
    ASSERT_EQ(::stat((dir / "kept.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(ReplacingFileStream, RefusesAFolderAndAMissingFolder) {
    test::TempDir dir;
    fs::create_directory(dir / "photo.jpg");
    EXPECT_THROW(ReplacingFileStream(dir / "photo.jpg"), EFCreateError);
    try {
        ReplacingFileStream out(dir / "none" / "x.gif");
        ADD_FAILURE();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + (dir / "none/x.gif").string() +
                                             "\". No such file or directory");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
}

}  // namespace
}  // namespace morvane
