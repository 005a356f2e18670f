#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace morvane::test {

// One row of the corpus's MANIFEST.tsv (the columns the codec tests use).
struct ManifestRow {
    std::string File;  // relative to the corpus folder, e.g. "jpeg/pillow/hopper.jpg"
    std::string Format;
    std::string Exercises;
    std::string Pillow;           // "yes" when Pillow decoded it
    std::string ReferenceDecoder; // "pillow", "magick", "none" or "n/a"
    std::string Notes;
};
// GoogleTest prints a parameter by its file.
inline void PrintTo(const ManifestRow& row, std::ostream* out) { *out << row.File; }

// The manifest rows whose file starts with `prefix` and whose format is `format`.
std::vector<ManifestRow> ReadManifest(const std::filesystem::path& corpusDir,
                                      const std::string& prefix, const std::string& format);

// A netpbm PAM raster: samples interleaved, rows top to bottom.
struct PamImage {
    int Width = 0, Height = 0, Depth = 0;
    std::string TupleType;
    std::vector<uint8_t> Samples;
    const uint8_t* Pixel(int x, int y) const {
        return Samples.data() + (size_t(y) * size_t(Width) + size_t(x)) * size_t(Depth);
    }
};
std::optional<PamImage> ReadPam(const std::filesystem::path& file);

// The reference decode of a corpus file (reference.py, 8-bit; `native` keeps grey and
// CMYK samples), made once into `referenceDir` and reused afterwards. Nothing when the
// reference decoder fails on the file.
std::optional<PamImage> ReferenceDecode(const std::filesystem::path& corpusDir,
                                        const std::filesystem::path& referenceDir,
                                        const std::string& file, bool native);

// A GoogleTest-safe case name made of a file's path ("pillow/hopper.jpg" -> "pillow_hopper").
std::string CaseNameOf(const std::string& file);

}  // namespace morvane::test
