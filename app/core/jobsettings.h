#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "imagingdefs.h"

namespace morvane {

// Text of the custom resize preset (position 8) as built in.
inline constexpr std::string_view kBuiltInCustomPresetText = "1280x1024 (Custom size)";
inline constexpr int kCustomPresetPosition = 8;

// Every option of a job. Field names are the settings-file keys; the defaults are the
// settings file's, so a record made here is what a first start without a file has
// (except the output folder, which LoadSettings fills).
struct JobSettings {
    // --- section "General" ---
    std::string Output;       // output folder
    int32_t ResizeItem = 3;   // position in the resize preset list (0..8)
    int32_t ConvertItem = 0;  // position in the convert format list (0..4)
    std::string RenameText;   // rename prefix
    bool Resize = true;
    bool Convert = true;
    bool Rename = false;
    int32_t CustomHeight = 1024;
    int32_t CustomWidth = 1280;
    bool Update = true;

    // --- section "Output" ---
    bool Proportions = true;
    bool Progressive = false;
    bool Interlaced = false;
    bool RLE = false;
    bool GIFInterlaced = false;
    bool Huffman = false;
    bool Watermark = false;
    bool UseOriginal = false;
    std::string WatermarkPath;
    int16_t LayerPosition = 8;  // 0..8, see WatermarkPositionListItems
    int16_t MarginX = 0;        // pixels
    int16_t MarginY = 0;
    int16_t ResizeFilter = 7;  // position in the filter list, see ResampleFilterAt
    int16_t PNGFilter = 0;
    int16_t JPEGQuality = 80;
    int16_t Opacity = 255;    // 255 = opaque
    int16_t Compression = 9;  // PNG compression level
    int16_t Smooth = 0;
    int16_t ColorSpace = 0;
    int16_t DCT = 0;
    int16_t TIFFCompression = 0;

    // --- derived, not stored ---
    int32_t TargetWidth = 0;  // resize target from the selected preset (ApplyPreset)
    int32_t TargetHeight = 0;
    std::string CustomPresetText{kBuiltInCustomPresetText};  // list text of preset 8

    friend bool operator==(const JobSettings&, const JobSettings&) = default;
};

// The settings file: "morvane.ini" in the user's configuration folder
// ($XDG_CONFIG_HOME, else ~/.config). When no folder can be determined the folder part
// is empty and the path is "/morvane.ini".
std::filesystem::path SettingsFilePath();

// The home folder followed by "/My images".
std::string DefaultOutputFolder();

// Reads every key of `file` into `settings` in the settings' read order; a missing file
// or key, or a number that does not parse, gives the default. Afterwards the custom
// preset text follows the stored custom size (when both sides are at least 16), and an
// empty output folder becomes DefaultOutputFolder(). Does not compute the targets
// (ApplyPreset does, when the window is shown).
void LoadSettings(JobSettings& settings, const std::filesystem::path& file);

// Writes all 31 keys in the settings' write order, keeping other lines of an existing
// file. False when the file cannot be written (the caller goes on regardless).
bool SaveSettings(const JobSettings& settings, const std::filesystem::path& file);

// "W" "x" "H" " (Custom size)".
std::string CustomPresetTextFor(int32_t width, int32_t height);

// Recomputes TargetWidth and TargetHeight from ResizeItem; a position outside the preset
// list gives 0 x 0; preset 8 takes the custom size as stored.
void ApplyPreset(JobSettings& settings);

// The menu command "Restore Default Settings" once confirmed: every setting back to its
// default except LayerPosition and Opacity, then ApplyPreset.
void RestoreDefaults(JobSettings& settings);

// Names of the 31 keys in the order SaveSettings writes them, with their sections.
struct SettingsKey {
    std::string_view Section;
    std::string_view Key;
};
std::span<const SettingsKey> SettingsWriteOrder();

enum class SetSettingResult { Ok, UnknownKey, BadValue };
// Sets one field by its settings-file key (case-insensitive), the value in the file's
// forms ("1"/"0" or any integer for booleans, decimal or "0x"/"$" hexadecimal for
// numbers, text as it stands). Unlike the file reader, an unparsable number is refused.
SetSettingResult SetSettingByKey(JobSettings& settings, std::string_view key,
                                 std::string_view value);

}  // namespace morvane
