#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace morvane {

class TStream;

// File type codes of the format table. 15 (RIFF AVI) and 21 have no row.
enum TFileTypeCode : int32_t {
    ftNone = 0,
    ftTIFF = 1,
    ftGIF = 2,
    ftJPEG = 3,
    ftPCX = 4,
    ftBMP = 5,
    ftICO = 6,
    ftCUR = 7,
    ftPNG = 8,
    ftWMF = 9,
    ftEMF = 10,
    ftTGA = 11,
    ftPXM = 12,
    ftJP2 = 13,
    ftJ2K = 14,
    ftAVI = 15,
    ftWBMP = 16,
    ftPS = 17,
    ftPDF = 18,
    ftDCX = 19,
    ftRAW = 20,
    ftPSD = 24,
    ftVEC = 25,
    ftLYR = 26,
    ftALL = 27,
    ftDICOM = 28,
};

// One row of the process-wide format table.
struct TFileFormatInfo {
    int32_t FileType = 0;
    std::string FullName;
    std::string Extensions;  // upper case, ';'-separated, no dots
    bool Internal = true;
    bool CanRead = false;
    bool CanWrite = false;
};

// The format table in its fixed order, built once on first use (thread-safe).
std::span<const TFileFormatInfo> FileFormatTable();

// The row whose extension list holds `extension` (case-insensitive, leading '.'
// optional), first match in table order; nullptr when none.
const TFileFormatInfo* FindFormatByExtension(std::string_view extension);

// The row of a file name's extension: the text after the last '.' of its file name
// (so ".png" has one); nullptr when none.
const TFileFormatInfo* FindFormatOfFileName(const std::filesystem::path& fileName);

// The row of a type code; nullptr for codes without a row (15, 21, unknown).
const TFileFormatInfo* FindFormatByCode(int32_t fileType);

// Content detection: a type code or 0. Leaves the stream position where it was;
// any exception inside ends detection with 0.
int32_t FindStreamFormat(TStream& stream);

// Content first, then extension rules; 0 when the file does not exist or nothing fits.
// Never throws: a file that cannot be opened gives 0.
int32_t FindFileFormat(const std::filesystem::path& fileName, bool verifyExtension);

}  // namespace morvane
