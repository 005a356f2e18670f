#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "imagingdefs.h"
#include "jobsettings.h"

namespace morvane {

// The entries of the option lists, in list order. A list field of JobSettings holds a
// position in one of these; a position outside the list selects nothing and each
// conversion below then gives its fallback.

// Resize presets; entry 8 is the settings' CustomPresetText.
std::vector<std::string> ResizePresetListItems(const JobSettings& settings);
std::vector<std::string> ConvertListItems();
std::vector<std::string> FilterListItems();  // "None " and "Bilinear " end with a blank
std::vector<std::string> PositionListItems();
std::vector<std::string> ColorSpaceListItems();
std::vector<std::string> DctListItems();
std::vector<std::string> PngFilterListItems();
std::vector<std::string> PngCompressionListItems();
std::vector<std::string> TiffCompressionListItems();

// Target size of presets 0..7; false for other positions (8 is the custom size).
bool FixedPresetSize(int32_t position, int32_t& width, int32_t& height);

// Extension of a convert format (".jpg", ".png", ".bmp", ".gif", ".tif"); empty outside 0..4.
std::string_view ConvertExtension(int32_t position);
// Format name of the task line " - Convert to ..." ("JPEG", ...); empty outside 0..4.
std::string_view ConvertFormatName(int32_t position);

// The filter of a list position; any position outside 0..13 gives rfFastLinear.
TResampleFilter ResampleFilterAt(int32_t position);
// JpegColorSpace for a colour-space position: 0 or negative keeps `current`, 1..5 give
// 0..4, above 5 gives 0 (RGB).
uint8_t JpegColorSpaceAt(int32_t position, uint8_t current);
// JpegDctMethod: 0..2 as they are, anything else 0.
uint8_t DctMethodAt(int32_t position);
// PngFilter: 0..2 as they are, anything else 0.
uint8_t PngFilterAt(int32_t position);
// BmpCompression: 1 for run-length encoding, else 0.
uint8_t BmpCompressionOf(bool rle);
// TiffCompression: 0..8 as they are, anything else 0.
uint8_t TiffCompressionAt(int32_t position);

}  // namespace morvane
