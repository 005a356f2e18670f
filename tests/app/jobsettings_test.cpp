#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "inifile.h"
#include "joblists.h"
#include "jobsettings.h"
#include "tempdir.h"

namespace morvane {
namespace {

void WriteText(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

std::vector<std::string> ReadLines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(IniInteger, ParsesTheSettingsFileForms) {
    struct Case {
        const char* text;
        std::optional<int32_t> expected;
    };
    const Case cases[] = {
        {"12", 12},
        {" 12 ", 12},
        {"-5", -5},
        {"+7", 7},
        {"0x1F", 31},
        {"0X1f", 31},
        {"$1F", 31},
        {"$ffffffff", -1},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"2147483648", std::nullopt},
        {"$100000000", std::nullopt},
        {"junk", std::nullopt},
        {"", std::nullopt},
        {"12abc", std::nullopt},
        {"0x", std::nullopt},
        {"$", std::nullopt},
        {"1 2", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseIniInteger(c.text), c.expected) << c.text;
}

TEST(IniFile, ReadsValuesAsTheProfileServicesDo) {
    test::TempDir dir;
    WriteText(dir / "a.ini",
              "\xEF\xBB\xBF; comment\r\n"
              "[general]\r\n"
              "  resizeitem =  0x1F \r\n"
              "Convert=2\r\n"
              "Rename=junk\r\n"
              "CustomWidth=\r\n"
              "RenameText=\"  spaced \"\r\n"
              "ResizeItem=5\r\n"
              "[Output]\r\n"
              "Output=other section\r\n");
    IniFile ini(dir / "a.ini");
    EXPECT_EQ(ini.ReadInteger("General", "ResizeItem", 3), 31);  // first occurrence wins
    EXPECT_TRUE(ini.ReadBool("General", "Convert", false));      // any non-zero is true
    EXPECT_TRUE(ini.ReadBool("General", "Rename", true));        // junk: the default
    EXPECT_FALSE(ini.ReadBool("General", "Rename", false));
    EXPECT_EQ(ini.ReadInteger("General", "CustomWidth", 1280), 1280);  // empty: the default
    EXPECT_EQ(ini.ReadString("General", "RenameText", ""), "  spaced ");
    EXPECT_EQ(ini.ReadString("General", "Output", "none"), "none");  // other section only
    EXPECT_EQ(ini.ReadString("Output", "Output", ""), "other section");
}

TEST(IniFile, TextIsCutAt2047BytesWithoutSplittingACharacter) {
    test::TempDir dir;
    std::string longText = std::string(2046, 'a') + "\xC3\xA9" + "zz";  // é straddles 2047
    WriteText(dir / "a.ini", "[G]\nK=" + longText + "\nL=" + std::string(3000, 'b') + "\n");
    IniFile ini(dir / "a.ini");
    EXPECT_EQ(ini.ReadString("G", "K", ""), std::string(2046, 'a'));
    EXPECT_EQ(ini.ReadString("G", "L", "").size(), 2047u);
}

TEST(IniFile, WritingKeepsForeignLinesAndReplacesKeysInPlace) {
    test::TempDir dir;
    WriteText(dir / "a.ini", "; mine\n[General]\nResize=0\nForeign=x\n\n[Other]\nA=1\n");
    IniFile ini(dir / "a.ini");
    ini.WriteBool("GENERAL", "Resize", true);
    ini.WriteInteger("General", "ResizeItem", 4);
    ini.WriteString("Output", "Opacity", "12");
    ASSERT_TRUE(ini.Save(dir / "a.ini"));
    EXPECT_EQ(
        ReadLines(dir / "a.ini"),
        (std::vector<std::string>{"; mine", "[General]", "Resize=1", "Foreign=x", "ResizeItem=4",
                                  "", "[Other]", "A=1", "", "[Output]", "Opacity=12"}));
}

TEST(Settings, MissingFileGivesDefaultsAndTheDefaultOutputFolder) {
    test::TempDir dir;
    JobSettings s;
    s.Opacity = 3;  // proves the load sets every field, not just the present ones
    LoadSettings(s, dir / "none.ini");
    JobSettings expected;
    expected.Output = DefaultOutputFolder();
    EXPECT_EQ(s, expected);
    EXPECT_TRUE(s.Resize && s.Convert && !s.Rename && s.ResizeItem == 3 && s.ConvertItem == 0);
    EXPECT_TRUE(s.Output.ends_with("/My images"));
}

TEST(Settings, DefaultOutputFolderIsInTheHomeFolder) {
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        GTEST_SKIP() << "no HOME";
    EXPECT_EQ(DefaultOutputFolder(), std::string(home) + "/My images");
}

TEST(Settings, RoundTripKeepsEveryField) {
    test::TempDir dir;
    JobSettings s;
    s.Output = "/tmp/out put/ü";
    s.ResizeItem = 8;
    s.ConvertItem = 4;
    s.RenameText = "  img ";  // outer blanks survive the file
    s.Resize = false;
    s.Convert = false;
    s.Rename = true;
    s.CustomHeight = 600;
    s.CustomWidth = 800;
    s.Update = false;
    s.Proportions = false;
    s.Progressive = s.Interlaced = s.RLE = s.GIFInterlaced = s.Huffman = true;
    s.Watermark = s.UseOriginal = true;
    s.WatermarkPath = "/w/\"mark\".png";
    s.LayerPosition = 4;
    s.MarginX = 10;
    s.MarginY = -5;
    s.ResizeFilter = 13;
    s.PNGFilter = 2;
    s.JPEGQuality = 95;
    s.Opacity = 128;
    s.Compression = 3;
    s.Smooth = 40;
    s.ColorSpace = 5;
    s.DCT = 2;
    s.TIFFCompression = 8;
    ASSERT_TRUE(SaveSettings(s, dir / "sub" / "morvane.ini"));  // the folder is created

    JobSettings back;
    LoadSettings(back, dir / "sub" / "morvane.ini");
    s.CustomPresetText = "800x600 (Custom size)";
    EXPECT_EQ(back, s);
}

TEST(Settings, WritesAll31KeysInOrder) {
    test::TempDir dir;
    JobSettings s;
    s.Output = "/o";
    ASSERT_TRUE(SaveSettings(s, dir / "m.ini"));
    EXPECT_EQ(ReadLines(dir / "m.ini"), (std::vector<std::string>{"[General]",
                                                                  "Output=/o",
                                                                  "ResizeItem=3",
                                                                  "ConvertItem=0",
                                                                  "RenameText=",
                                                                  "Resize=1",
                                                                  "Convert=1",
                                                                  "Rename=0",
                                                                  "CustomHeight=1024",
                                                                  "CustomWidth=1280",
                                                                  "Update=1",
                                                                  "",
                                                                  "[Output]",
                                                                  "UseOriginal=0",
                                                                  "WatermarkPath=",
                                                                  "Opacity=255",
                                                                  "Watermark=0",
                                                                  "Proportions=1",
                                                                  "ResizeFilter=7",
                                                                  "LayerPosition=8",
                                                                  "MarginX=0",
                                                                  "MarginY=0",
                                                                  "Progressive=0",
                                                                  "JPEGQuality=80",
                                                                  "Smooth=0",
                                                                  "ColorSpace=0",
                                                                  "DCT=0",
                                                                  "Interlaced=0",
                                                                  "PNGFilter=0",
                                                                  "Compression=9",
                                                                  "GIFInterlaced=0",
                                                                  "Huffman=0",
                                                                  "TIFFCompression=0",
                                                                  "RLE=0"}));
    // A second save over the same file rewrites the keys without doubling them.
    ASSERT_TRUE(SaveSettings(s, dir / "m.ini"));
    EXPECT_EQ(ReadLines(dir / "m.ini").size(), 34u);
}

TEST(Settings, HexadecimalJunkAndOutOfRangeValuesFromTheFile) {
    test::TempDir dir;
    WriteText(dir / "m.ini",
              "[General]\nResizeItem=$7\nConvert=0\nOutput=\n"
              "[Output]\nResizeFilter=0x0A\nJPEGQuality=high\nOpacity=\nLayerPosition=70000\n");
    JobSettings s;
    LoadSettings(s, dir / "m.ini");
    EXPECT_EQ(s.ResizeItem, 7);
    EXPECT_FALSE(s.Convert);
    EXPECT_EQ(s.Output, DefaultOutputFolder());  // an empty box gets the default folder
    EXPECT_EQ(s.ResizeFilter, 10);
    EXPECT_EQ(s.JPEGQuality, 80);
    EXPECT_EQ(s.Opacity, 255);
    EXPECT_EQ(s.LayerPosition, int16_t(70000 - 65536));  // the 16-bit field keeps the low bits
}

TEST(Presets, TargetsFollowTheSelectedPreset) {
    struct Case {
        int32_t item;
        int32_t width, height;
    };
    const Case cases[] = {{0, 240, 320},   {1, 320, 240}, {2, 320, 480}, {3, 640, 480},
                          {4, 720, 480},   {5, 720, 576}, {6, 800, 600}, {7, 1024, 768},
                          {8, 1280, 1024}, {9, 0, 0},     {-1, 0, 0}};
    for (const Case& c : cases) {
        JobSettings s;
        s.TargetWidth = s.TargetHeight = 77;
        s.ResizeItem = c.item;
        ApplyPreset(s);
        EXPECT_EQ(s.TargetWidth, c.width) << c.item;
        EXPECT_EQ(s.TargetHeight, c.height) << c.item;
    }
    EXPECT_EQ(ResizePresetListItems(JobSettings{})[3], "640x480 (Facebook, Odnoklassniki)");
}

TEST(Presets, CustomSizeBelow16KeepsTheBuiltInTextButIsUsed) {
    test::TempDir dir;
    WriteText(dir / "m.ini", "[General]\nCustomWidth=10\nCustomHeight=1024\nResizeItem=8\n");
    JobSettings s;
    LoadSettings(s, dir / "m.ini");
    EXPECT_EQ(ResizePresetListItems(s)[8], "1280x1024 (Custom size)");
    ApplyPreset(s);
    EXPECT_EQ(s.TargetWidth, 10);
    EXPECT_EQ(s.TargetHeight, 1024);

    WriteText(dir / "m.ini", "[General]\nCustomWidth=16\nCustomHeight=6000\n");
    LoadSettings(s, dir / "m.ini");
    EXPECT_EQ(ResizePresetListItems(s)[8], "16x6000 (Custom size)");
}

TEST(Conversions, FilterPositionsMapWithFastLinearFallback) {
    const TResampleFilter expected[] = {rfNone,     rfLinear,  rfFastLinear, rfTriangle, rfHermite,
                                        rfBell,     rfBSpline, rfLanczos3,   rfMitchell, rfNearest,
                                        rfBilinear, rfBicubic, rfProjectBW,  rfProjectWB};
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(ResampleFilterAt(i), expected[i]) << i;
    for (int position : {-1, 14, 20})
        EXPECT_EQ(ResampleFilterAt(position), rfFastLinear);
    EXPECT_EQ(FilterListItems()[0], "None ");
    EXPECT_EQ(FilterListItems()[10], "Bilinear ");
}

TEST(Conversions, ListPositionsToWriterValues) {
    // Colour space: 0 and negatives leave the current value, above 5 gives RGB (0).
    EXPECT_EQ(JpegColorSpaceAt(0, 2), 2);
    EXPECT_EQ(JpegColorSpaceAt(-1, 3), 3);
    EXPECT_EQ(JpegColorSpaceAt(1, 2), 0);
    EXPECT_EQ(JpegColorSpaceAt(5, 2), 4);
    EXPECT_EQ(JpegColorSpaceAt(6, 2), 0);
    struct Case {
        int32_t position;
        uint8_t dct, pngFilter, tiff;
    };
    const Case cases[] = {{0, 0, 0, 0}, {2, 2, 2, 2}, {3, 0, 0, 3},
                          {8, 0, 0, 8}, {9, 0, 0, 0}, {-1, 0, 0, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(DctMethodAt(c.position), c.dct) << c.position;
        EXPECT_EQ(PngFilterAt(c.position), c.pngFilter) << c.position;
        EXPECT_EQ(TiffCompressionAt(c.position), c.tiff) << c.position;
    }
    EXPECT_EQ(BmpCompressionOf(true), 1);
    EXPECT_EQ(BmpCompressionOf(false), 0);
}

TEST(RestoreDefaultsTest, ResetsAllButWatermarkPositionAndOpacity) {
    JobSettings s;
    s.Output = "/x";
    s.ResizeItem = 6;
    s.ConvertItem = 2;
    s.RenameText = "p";
    s.Resize = s.Convert = false;
    s.Rename = s.Watermark = true;
    s.WatermarkPath = "/w.png";
    s.CustomWidth = 10;
    s.CustomHeight = 20;
    s.CustomPresetText = "10x20 (Custom size)";
    s.Proportions = false;
    s.ResizeFilter = 1;
    s.JPEGQuality = 5;
    s.Progressive = s.Interlaced = s.RLE = s.Huffman = s.GIFInterlaced = s.UseOriginal = true;
    s.Update = false;
    s.Compression = 1;
    s.PNGFilter = s.Smooth = s.ColorSpace = s.DCT = s.TIFFCompression = 2;
    s.MarginX = s.MarginY = 9;
    s.LayerPosition = 2;
    s.Opacity = 100;
    ApplyPreset(s);
    RestoreDefaults(s);

    JobSettings expected;
    expected.Output = DefaultOutputFolder();
    expected.LayerPosition = 2;
    expected.Opacity = 100;
    expected.TargetWidth = 640;
    expected.TargetHeight = 480;
    EXPECT_EQ(s, expected);
}

TEST(SetByKey, KeysValuesAndErrors) {
    JobSettings s;
    EXPECT_EQ(SetSettingByKey(s, "jpegquality", "90"), SetSettingResult::Ok);
    EXPECT_EQ(s.JPEGQuality, 90);
    EXPECT_EQ(SetSettingByKey(s, "Convert", "0"), SetSettingResult::Ok);
    EXPECT_FALSE(s.Convert);
    EXPECT_EQ(SetSettingByKey(s, "RenameText", " a.b "), SetSettingResult::Ok);
    EXPECT_EQ(s.RenameText, " a.b ");
    EXPECT_EQ(SetSettingByKey(s, "CustomWidth", "$320"), SetSettingResult::Ok);
    EXPECT_EQ(s.CustomWidth, 800);
    EXPECT_EQ(s.CustomPresetText, "800x1024 (Custom size)");
    EXPECT_EQ(SetSettingByKey(s, "Quality", "1"), SetSettingResult::UnknownKey);
    EXPECT_EQ(SetSettingByKey(s, "Opacity", "half"), SetSettingResult::BadValue);
    EXPECT_EQ(s.Opacity, 255);
}

}  // namespace
}  // namespace morvane
