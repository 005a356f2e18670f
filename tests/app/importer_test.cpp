#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "importer.h"
#include "tempdir.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

void Touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

std::vector<std::string> Names(const std::vector<ImageEntry>& rows) {
    std::vector<std::string> names;
    for (const ImageEntry& row : rows)
        names.push_back(row.DisplayName);
    return names;
}

std::string FakeSize(const fs::path&) {
    return "4x3";
}

TEST(ImportRules, AdmittedExtensions) {
    struct Case {
        const char* path;
        bool admitted;
    };
    const Case cases[] = {
        {"/a/photo.JPE", true},  {"/a/b.jpeg", true},     {"/a/c.Tif", true},
        {"/a/d.j2k", true},      {"/a/e.jp2", true},      {"/a/f.ico", true},
        {"/a/scan.tiff", false}, {"/a/g.jpg.bak", false}, {"/a/noext", false},
        {"/a.jpg/noext", false}, {"/a/h.pcx", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsAdmittedExtension(c.path), c.admitted) << c.path;
}

TEST(ImportRules, MasksMatchWithoutRegardToCase) {
    EXPECT_EQ(SplitMasks(kSearchMasks),
              (std::vector<std::string>{"*.jpg", "*.jpeg", "*.png", "*.gif", "*.bmp", "*.tif",
                                        "*.j2k", "*.jp2", "*.ico"}));
    EXPECT_TRUE(MatchesMask("IMG_01.JPG", "*.jpg"));
    EXPECT_TRUE(MatchesMask("a.b.png", "*.png"));
    EXPECT_FALSE(MatchesMask("a.png.txt", "*.png"));
    EXPECT_FALSE(MatchesMask("scan.tiff", "*.tif"));
    EXPECT_TRUE(MatchesMask("x1.gif", "x?.g*"));
    EXPECT_FALSE(MatchesMask("x12.gif", "x?.gif"));
}

TEST(ImportRules, DisplayNamesSortInLocaleOrder) {
    std::vector<ImageEntry> rows;
    for (const char* name : {"b.jpg", "A.png", "a.gif", "f.png", "\xC3\xA9.png", "e.png", "1.png",
                             "_x.png", "a.png"}) {
        InsertSorted(rows, {name, "", fs::path("/") / name});
    }
    EXPECT_EQ(Names(rows), (std::vector<std::string>{"_x.png", "1.png", "a.gif", "a.png", "A.png",
                                                     "b.jpg", "e.png", "\xC3\xA9.png", "f.png"}));
}

TEST(ImportRules, FoldCaseLowersBeyondAscii) {
    EXPECT_EQ(FoldCase("/Fotos/\xC3\x89T\xC3\x89.JPG"), "/fotos/\xC3\xA9t\xC3\xA9.jpg");  // ÉTÉ
    EXPECT_EQ(FoldCase("bad\xFF"
                       "A"),
              "bad\xFF"
              "a");
}

TEST(FolderImportTest, FolderSearchIsRecursiveAndUsesTheMasks) {
    test::TempDir dir;
    Touch(dir / "top.JPG");
    Touch(dir / "one" / "two" / "deep.png");
    Touch(dir / "one" / "mid.gif");
    Touch(dir / "photo.jpe");  // no mask for .jpe
    Touch(dir / "scan.tiff");
    Touch(dir / "notes.txt");
    fs::create_directories(dir / "folder.jpg");  // a folder is not a match

    FolderImport import;
    std::vector<std::string> texts;
    import.Search({dir.path()}, [&](const std::string& t) { texts.push_back(t);
});
EXPECT_EQ(import.FoundPaths.size(), 3u);
ASSERT_FALSE(texts.empty());
EXPECT_EQ(texts.back(), "Searching for images... 3 found");

std::vector<ImageEntry> rows;
texts.clear();
    import.Add({}, FakeSize, [&](ImageEntry e) { InsertSorted(rows, std::move(e));
    }  // namespace
,
               [&](const std::string& t) {
    texts.push_back(t); });
EXPECT_EQ(Names(rows), (std::vector<std::string>{"deep.png", "mid.gif", "top.JPG"}));
EXPECT_EQ(rows[0].SizeText, "4x3");
EXPECT_EQ(rows[0].FullPath, dir / "one" / "two" / "deep.png");
EXPECT_EQ(texts, (std::vector<std::string>{"Adding images... 0 of 3", "Adding images... 1 of 3",
                                           "Adding images... 2 of 3"}));
}  // namespace morvane

TEST(FolderImportTest, NamedFilesDuplicatesAndMissingPaths) {
    test::TempDir dir;
    Touch(dir / "photo.JPE");
    Touch(dir / "scan.tiff");
    Touch(dir / "a.png");
    Touch(dir / "A.png");  // another file here, but the same path without regard to case
    Touch(dir / "sub" / "a.png");
    std::vector<ImageEntry> existing = {{"a.png", "1x1", dir / "sub" / "A.PNG"}};

    FolderImport import;
    import.Search({dir / "photo.JPE", dir / "scan.tiff", dir / "a.png", dir / "A.png",
                   dir / "a.png", dir / "missing.jpg", dir / "sub"});
    // Named files are taken whatever their extension; the add phase filters.
    EXPECT_EQ(import.FoundPaths.size(), 6u);
    std::vector<ImageEntry> added;
    import.Add(existing, FakeSize, [&](ImageEntry e) { added.push_back(std::move(e));
});
// scan.tiff: not admitted; A.png: same path as a.png in other case (it does not
// exist on this file system either); the second a.png: a duplicate; sub/a.png: the
// existing row in other case.
EXPECT_EQ(Names(added), (std::vector<std::string>{"photo.JPE", "a.png"}));
}

TEST(FolderImportTest, AbortWhileAddingKeepsRowsAddedBefore) {
    test::TempDir dir;
    std::vector<fs::path> files;
    for (int i = 0; i < 10; ++i) {
        files.push_back(dir / ("f" + std::to_string(i) + ".bmp"));
        Touch(files.back());
    }
    FolderImport import;
    import.Search(files);
    std::vector<ImageEntry> rows;
    import.Add({}, FakeSize, [&](ImageEntry e) {
        rows.push_back(std::move(e));
    if (rows.size() == 4)
        import.Abort();  // "Abort" while the 5th is due
});
EXPECT_EQ(rows.size(), 4u);
}

TEST(FolderImportTest, ImportPathsGivesSortedRowsAndNothingForUnknownPaths) {
    test::TempDir dir;
    Touch(dir / "b.jpg");
    Touch(dir / "x" / "A.png");
    Touch(dir / "x" / "a.gif");
    EXPECT_EQ(Names(ImportPaths({dir / "x", dir / "b.jpg"}, FakeSize)),
              (std::vector<std::string>{"a.gif", "A.png", "b.jpg"}));
    EXPECT_TRUE(ImportPaths({dir / "nothing here"}, FakeSize).empty());
}

}  // namespace
}  // namespace morvane
