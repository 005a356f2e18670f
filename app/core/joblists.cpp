#include "joblists.h"

#include <array>

namespace morvane {

namespace {

struct Preset {
    const char* Text;
    int32_t Width;
    int32_t Height;
};
constexpr std::array<Preset, 8> kPresets{{
    {"240x320 (handheld PC)", 240, 320},
    {"320x240 (iPod)", 320, 240},
    {"320x480 (iPhone)", 320, 480},
    {"640x480 (Facebook, Odnoklassniki)", 640, 480},
    {"720x480 (DVD NTSC)", 720, 480},
    {"720x576 (DVD PAL)", 720, 576},
    {"800x600", 800, 600},
    {"1024x768", 1024, 768},
}};

struct ConvertFormat {
    const char* Text;
    const char* Name;
    const char* Extension;
};
constexpr std::array<ConvertFormat, 5> kConvertFormats{{
    {"JPEG Format (*.jpg)", "JPEG", ".jpg"},
    {"PNG Format (*.png)", "PNG", ".png"},
    {"BMP Format (*.bmp)", "BMP", ".bmp"},
    {"GIF Format (*.gif)", "GIF", ".gif"},
    {"TIFF Format (*.tif)", "TIFF", ".tif"},
}};

// The filter list's order differs from TResampleFilter's.
struct FilterItem {
    const char* Text;
    TResampleFilter Filter;
};
constexpr std::array<FilterItem, 14> kFilters{{
    {"None ", rfNone},
    {"Linear", rfLinear},
    {"FastLinear", rfFastLinear},
    {"Triangle", rfTriangle},
    {"Hermite", rfHermite},
    {"Bell", rfBell},
    {"BSpline", rfBSpline},
    {"Lanczos3 (Default)", rfLanczos3},
    {"Mitchell", rfMitchell},
    {"Nearest", rfNearest},
    {"Bilinear ", rfBilinear},
    {"Bicubic", rfBicubic},
    {"ProjectBW", rfProjectBW},
    {"ProjectWB", rfProjectWB},
}};

template <size_t N>
std::vector<std::string> Texts(const std::array<const char*, N>& items) {
    return {items.begin(), items.end()};
}

bool InRange(int32_t position, size_t count) {
    return position >= 0 && size_t(position) < count;
}

}  // namespace

std::vector<std::string> ResizePresetListItems(const JobSettings& settings) {
    std::vector<std::string> items;
    for (const Preset& p : kPresets)
        items.emplace_back(p.Text);
    items.push_back(settings.CustomPresetText);
    return items;
}

std::vector<std::string> ConvertListItems() {
    std::vector<std::string> items;
    for (const ConvertFormat& f : kConvertFormats)
        items.emplace_back(f.Text);
    return items;
}

std::vector<std::string> FilterListItems() {
    std::vector<std::string> items;
    for (const FilterItem& f : kFilters)
        items.emplace_back(f.Text);
    return items;
}

std::vector<std::string> PositionListItems() {
    return Texts(std::array{"Top Left", "Top Center", "Top Right", "Left", "Center", "Right",
                            "Bottom Left", "Bottom Center", "Bottom Right"});
}

std::vector<std::string> ColorSpaceListItems() {
    return Texts(std::array{"No change", "RGB", "GrayScale", "YCbCr", "CMYK", "YCbCrK"});
}

std::vector<std::string> DctListItems() {
    return Texts(std::array{"ISLOW", "IFAST", "FLOAT"});
}

std::vector<std::string> PngFilterListItems() {
    return Texts(std::array{"None", "Sub", "Paeth"});
}

std::vector<std::string> PngCompressionListItems() {
    return Texts(std::array{"None", "1", "2", "3", "4", "5", "6", "7", "8", "Max"});
}

std::vector<std::string> TiffCompressionListItems() {
    return Texts(std::array{"UNCOMPRESSED", "CCITT1D", "G3FAX1D", "G3FAX2D", "G4FAX", "LZW",
                            "OLDJPEG", "JPEG", "PACKBITS"});
}

bool FixedPresetSize(int32_t position, int32_t& width, int32_t& height) {
    if (!InRange(position, kPresets.size()))
        return false;
    width = kPresets[size_t(position)].Width;
    height = kPresets[size_t(position)].Height;
    return true;
}

std::string_view ConvertExtension(int32_t position) {
    return InRange(position, kConvertFormats.size()) ? kConvertFormats[size_t(position)].Extension
                                                     : "";
}

std::string_view ConvertFormatName(int32_t position) {
    return InRange(position, kConvertFormats.size()) ? kConvertFormats[size_t(position)].Name : "";
}

TResampleFilter ResampleFilterAt(int32_t position) {
    return InRange(position, kFilters.size()) ? kFilters[size_t(position)].Filter : rfFastLinear;
}

uint8_t JpegColorSpaceAt(int32_t position, uint8_t current) {
    if (position <= 0)
        return current;
    if (position > 5)
        return 0;
    return uint8_t(position - 1);
}

uint8_t DctMethodAt(int32_t position) {
    return InRange(position, 3) ? uint8_t(position) : 0;
}

uint8_t PngFilterAt(int32_t position) {
    return InRange(position, 3) ? uint8_t(position) : 0;
}

uint8_t BmpCompressionOf(bool rle) {
    return rle ? 1 : 0;
}

uint8_t TiffCompressionAt(int32_t position) {
    return InRange(position, 9) ? uint8_t(position) : 0;
}

}  // namespace morvane
