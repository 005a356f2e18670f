#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

// One row of the image list. Rows are kept sorted by DisplayName (CompareDisplayNames);
// no two rows have the same FullPath compared after FoldCase. The shell icon is the
// front end's business (it follows from the name).
struct ImageEntry {
    std::string DisplayName;         // file name with extension, no folder
    std::string SizeText;            // width "x" height as read when the row was added
    std::filesystem::path FullPath;  // as found
    friend bool operator==(const ImageEntry&, const ImageEntry&) = default;
};

// The masks a folder search uses, as one string (masks separated by ";", blanks around
// them do not count). There is no mask for ".jpe": such files come in only when named.
inline constexpr std::string_view kSearchMasks =
    "*.jpg; *.jpeg; *.png; *.gif; *.bmp; *.tif; *.j2k; *.jp2; *.ico;";

// The masks of a mask string, blanks removed, empty ones dropped.
std::vector<std::string> SplitMasks(std::string_view masks);
// Wildcard match ("*" any run, "?" one character) without regard to case.
bool MatchesMask(std::string_view name, std::string_view mask);

// The extension of a file name, from its last "." (empty without one); a "." in a
// folder name does not count.
std::string FileExtension(const std::filesystem::path& path);
// True for the extensions a row may have (compared upper-cased): ".BMP", ".GIF",
// ".JPG", ".JPE", ".JPEG", ".PNG", ".J2K", ".JP2", ".ICO", ".TIF". The same list names
// the types the job can save in their own format.
bool IsAdmittedExtension(const std::filesystem::path& path);

// Lower-cased UTF-8 text (every code point the C library's Unicode tables know);
// bytes that are not valid UTF-8 pass unchanged.
std::string FoldCase(std::string_view text);
// Locale-style order of display names: letters by their base letter first (accents and
// case do not count), then accents, then case with lower case first; punctuation sorts
// before digits, digits before letters. So a.gif < A.png < b.jpg. Returns <0, 0, >0.
int CompareDisplayNames(std::string_view a, std::string_view b);
// Inserts `entry` at its sorted place (after rows of an equal name); returns its index.
size_t InsertSorted(std::vector<ImageEntry>& rows, ImageEntry entry);

// The folder import in its two phases. The front end runs each phase on a worker and
// calls Abort from its own thread; the callbacks run on the worker, in order.
class FolderImport {
  public:
    using ProgressText = std::function<void(const std::string& text)>;
    // Width "x" height of an image file as its parameters give them without decoding.
    using SizeReader = std::function<std::string(const std::filesystem::path& file)>;
    using RowSink = std::function<void(ImageEntry entry)>;

    // Search phase: FoundPaths := every pending path that names an existing file (any
    // extension), and every file under a pending folder, to any depth, whose name
    // matches a mask; other paths are ignored. Progress: "Searching for images... N found"
    // after each match and after each path. Stops between directory entries on Abort.
    void Search(const std::vector<std::filesystem::path>& pendingPaths,
                const ProgressText& progress = {});

    // Add phase over FoundPaths: "Adding images... i of count" before each, then skips
    // paths that no longer name a file, have an extension not admitted, or whose
    // lower-cased path equals that of a row (of `existingRows` or added before);
    // every other path becomes a row handed to `addRow`. Stops between files on Abort.
    void Add(const std::vector<ImageEntry>& existingRows, const SizeReader& readSize,
             const RowSink& addRow, const ProgressText& progress = {});

    // "Abort": stops the running phase at its next check.
    void Abort() { ImportAborted.store(true); }

    std::vector<std::filesystem::path> FoundPaths;
    std::atomic<bool> ImportAborted{false};
};

// Both phases at once, as the command-line runner needs them: the rows the paths give,
// sorted.
std::vector<ImageEntry> ImportPaths(const std::vector<std::filesystem::path>& paths,
                                    const FolderImport::SizeReader& readSize);

}  // namespace morvane
