#include "jobsettings.h"

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <type_traits>
#include <variant>

#include "inifile.h"
#include "joblists.h"

namespace morvane {

namespace {

constexpr std::string_view kGeneral = "General";
constexpr std::string_view kOutput = "Output";

using FieldRef = std::variant<std::string JobSettings::*, int32_t JobSettings::*,
                              int16_t JobSettings::*, bool JobSettings::*>;

// One key of the settings file: its section, its name and the field it fills. The
// defaults are those of a default-constructed JobSettings.
struct KeyInfo {
    std::string_view Section;
    std::string_view Key;
    FieldRef Field;
};

const std::array<KeyInfo, 31> kKeys{{
    {kGeneral, "Output", &JobSettings::Output},
    {kGeneral, "ResizeItem", &JobSettings::ResizeItem},
    {kGeneral, "ConvertItem", &JobSettings::ConvertItem},
    {kGeneral, "RenameText", &JobSettings::RenameText},
    {kGeneral, "Resize", &JobSettings::Resize},
    {kGeneral, "Convert", &JobSettings::Convert},
    {kGeneral, "Rename", &JobSettings::Rename},
    {kGeneral, "CustomHeight", &JobSettings::CustomHeight},
    {kGeneral, "CustomWidth", &JobSettings::CustomWidth},
    {kGeneral, "Update", &JobSettings::Update},
    {kOutput, "Proportions", &JobSettings::Proportions},
    {kOutput, "Progressive", &JobSettings::Progressive},
    {kOutput, "Interlaced", &JobSettings::Interlaced},
    {kOutput, "RLE", &JobSettings::RLE},
    {kOutput, "GIFInterlaced", &JobSettings::GIFInterlaced},
    {kOutput, "Huffman", &JobSettings::Huffman},
    {kOutput, "Watermark", &JobSettings::Watermark},
    {kOutput, "UseOriginal", &JobSettings::UseOriginal},
    {kOutput, "WatermarkPath", &JobSettings::WatermarkPath},
    {kOutput, "LayerPosition", &JobSettings::LayerPosition},
    {kOutput, "MarginX", &JobSettings::MarginX},
    {kOutput, "MarginY", &JobSettings::MarginY},
    {kOutput, "ResizeFilter", &JobSettings::ResizeFilter},
    {kOutput, "PNGFilter", &JobSettings::PNGFilter},
    {kOutput, "JPEGQuality", &JobSettings::JPEGQuality},
    {kOutput, "Opacity", &JobSettings::Opacity},
    {kOutput, "Compression", &JobSettings::Compression},
    {kOutput, "Smooth", &JobSettings::Smooth},
    {kOutput, "ColorSpace", &JobSettings::ColorSpace},
    {kOutput, "DCT", &JobSettings::DCT},
    {kOutput, "TIFFCompression", &JobSettings::TIFFCompression},
}};

// The write order of SaveSettings.
constexpr std::array<SettingsKey, 31> kWriteOrder{{
    {kGeneral, "Output"},       {kGeneral, "ResizeItem"},   {kGeneral, "ConvertItem"},
    {kGeneral, "RenameText"},   {kGeneral, "Resize"},       {kGeneral, "Convert"},
    {kGeneral, "Rename"},       {kGeneral, "CustomHeight"}, {kGeneral, "CustomWidth"},
    {kGeneral, "Update"},       {kOutput, "UseOriginal"},   {kOutput, "WatermarkPath"},
    {kOutput, "Opacity"},       {kOutput, "Watermark"},     {kOutput, "Proportions"},
    {kOutput, "ResizeFilter"},  {kOutput, "LayerPosition"}, {kOutput, "MarginX"},
    {kOutput, "MarginY"},       {kOutput, "Progressive"},   {kOutput, "JPEGQuality"},
    {kOutput, "Smooth"},        {kOutput, "ColorSpace"},    {kOutput, "DCT"},
    {kOutput, "Interlaced"},    {kOutput, "PNGFilter"},     {kOutput, "Compression"},
    {kOutput, "GIFInterlaced"}, {kOutput, "Huffman"},       {kOutput, "TIFFCompression"},
    {kOutput, "RLE"},
}};

bool SameKey(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

const KeyInfo* FindKey(std::string_view key) {
    for (const KeyInfo& info : kKeys) {
        if (SameKey(info.Key, key))
            return &info;
    }
    return nullptr;
}

void ReadKey(const IniFile& ini, JobSettings& s, std::string_view key) {
    const KeyInfo& info = *FindKey(key);
    static const JobSettings kDefaults;
    std::visit(
        [&](auto member) {
            using T = std::remove_reference_t<decltype(s.*member)>;
            if constexpr (std::is_same_v<T, std::string>) {
                s.*member = ini.ReadString(info.Section, info.Key, kDefaults.*member);
            } else if constexpr (std::is_same_v<T, bool>) {
                s.*member = ini.ReadBool(info.Section, info.Key, kDefaults.*member);
            } else {
                // The record's 16-bit fields take the low bits of what was read.
                s.*member = T(ini.ReadInteger(info.Section, info.Key, kDefaults.*member));
            }
        },
        info.Field);
}

void WriteKey(IniFile& ini, const JobSettings& s, const SettingsKey& key) {
    const KeyInfo& info = *FindKey(key.Key);
    std::visit(
        [&](auto member) {
            using T = std::remove_cvref_t<decltype(s.*member)>;
            if constexpr (std::is_same_v<T, std::string>) {
                ini.WriteString(info.Section, info.Key, s.*member);
            } else if constexpr (std::is_same_v<T, bool>) {
                ini.WriteBool(info.Section, info.Key, s.*member);
            } else {
                ini.WriteInteger(info.Section, info.Key, int32_t(s.*member));
            }
        },
        info.Field);
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return {};
}

// The custom preset's list text after the custom size was read: a size below 16 stays
// stored and is used as such; only the text keeps its built-in form then.
void FollowCustomSize(JobSettings& s) {
    s.CustomPresetText = s.CustomWidth >= 16 && s.CustomHeight >= 16
                             ? CustomPresetTextFor(s.CustomWidth, s.CustomHeight)
                             : std::string(kBuiltInCustomPresetText);
}

}  // namespace

std::filesystem::path SettingsFilePath() {
    std::string folder;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        folder = xdg;
    } else if (std::string home = HomeFolder(); !home.empty()) {
        folder = home + "/.config";
    }
    return folder + "/morvane.ini";
}

std::string DefaultOutputFolder() {
    return HomeFolder() + "/My images";
}

std::string CustomPresetTextFor(int32_t width, int32_t height) {
    return std::to_string(width) + "x" + std::to_string(height) + " (Custom size)";
}

void LoadSettings(JobSettings& s, const std::filesystem::path& file) {
    IniFile ini(file);
    for (std::string_view key :
         {"Proportions",  "Progressive", "Interlaced",     "RLE",           "GIFInterlaced",
          "Huffman",      "Watermark",   "UseOriginal",    "WatermarkPath", "LayerPosition",
          "MarginX",      "MarginY",     "ResizeFilter",   "PNGFilter",     "JPEGQuality",
          "Opacity",      "Compression", "Smooth",         "ColorSpace",    "DCT",
          "CustomHeight", "CustomWidth", "TIFFCompression"}) {
        ReadKey(ini, s, key);
    }
    FollowCustomSize(s);
    for (std::string_view key : {"Output", "ResizeItem", "ConvertItem", "RenameText", "Resize",
                                 "Convert", "Rename", "Update"}) {
        ReadKey(ini, s, key);
    }
    if (s.Output.empty())
        s.Output = DefaultOutputFolder();
}

bool SaveSettings(const JobSettings& s, const std::filesystem::path& file) {
    IniFile ini(file);
    for (const SettingsKey& key : kWriteOrder)
        WriteKey(ini, s, key);
    return ini.Save(file);
}

std::span<const SettingsKey> SettingsWriteOrder() {
    return kWriteOrder;
}

void ApplyPreset(JobSettings& s) {
    s.TargetWidth = 0;
    s.TargetHeight = 0;
    if (s.ResizeItem == kCustomPresetPosition) {
        s.TargetWidth = s.CustomWidth;
        s.TargetHeight = s.CustomHeight;
    } else {
        FixedPresetSize(s.ResizeItem, s.TargetWidth, s.TargetHeight);
    }
}

void RestoreDefaults(JobSettings& s) {
    const JobSettings d;
    s.Output = DefaultOutputFolder();
    s.ResizeItem = d.ResizeItem;
    s.ConvertItem = d.ConvertItem;
    s.RenameText.clear();
    s.Resize = true;
    s.Convert = true;
    s.Rename = false;
    s.Watermark = false;
    s.WatermarkPath.clear();

    s.CustomHeight = d.CustomHeight;
    s.CustomWidth = d.CustomWidth;
    s.CustomPresetText = kBuiltInCustomPresetText;

    s.Proportions = true;
    s.ResizeFilter = d.ResizeFilter;
    s.JPEGQuality = d.JPEGQuality;
    s.Progressive = false;
    s.Interlaced = false;
    s.Compression = d.Compression;
    s.PNGFilter = d.PNGFilter;
    s.RLE = false;
    s.Smooth = d.Smooth;
    s.Huffman = false;
    s.GIFInterlaced = false;
    s.ColorSpace = d.ColorSpace;
    s.DCT = d.DCT;
    s.TIFFCompression = d.TIFFCompression;
    s.Update = true;
    s.UseOriginal = false;
    s.MarginX = d.MarginX;
    s.MarginY = d.MarginY;
    // LayerPosition and Opacity keep their values.
    ApplyPreset(s);
}

SetSettingResult SetSettingByKey(JobSettings& s, std::string_view key, std::string_view value) {
    const KeyInfo* info = FindKey(key);
    if (!info)
        return SetSettingResult::UnknownKey;
    SetSettingResult result = SetSettingResult::Ok;
    std::visit(
        [&](auto member) {
            using T = std::remove_reference_t<decltype(s.*member)>;
            if constexpr (std::is_same_v<T, std::string>) {
                s.*member = std::string(value);
            } else {
                auto number = ParseIniInteger(value);
                if (!number) {
                    result = SetSettingResult::BadValue;
                } else if constexpr (std::is_same_v<T, bool>) {
                    s.*member = *number != 0;
                } else {
                    s.*member = T(*number);
                }
            }
        },
        info->Field);
    if (result == SetSettingResult::Ok &&
        (SameKey(info->Key, "CustomWidth") || SameKey(info->Key, "CustomHeight"))) {
        FollowCustomSize(s);
    }
    return result;
}

}  // namespace morvane
