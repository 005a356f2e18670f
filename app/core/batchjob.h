#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "imagedocument.h"
#include "imagingdefs.h"
#include "importer.h"
#include "ioframe.h"
#include "jobsettings.h"

namespace morvane {

// The log's three colours.
inline constexpr TColor kLogBlack = MakeColor(0, 0, 0);
inline constexpr TColor kLogGreen = MakeColor(0, 128, 0);
inline constexpr TColor kLogRed = MakeColor(255, 0, 0);

// The window states around a job (a front end shows panels and enables commands by them).
enum class JobState {
    Starting,      // StartJob passed validation: log shown, Cancel enabled
    Running,       // RunJob began: toolbar and menus disabled
    Finished,      // FinishJob ran: Advance enabled, Open folder enabled
    FolderFailed,  // the output folder could not be made: Advance enabled, menus enabled
};

enum class JobMessageKind { Warning, Error };

// What the job asks of its front end. Calls come in order: StartJob's and FinishJob's
// from the caller's thread, RunJob's from the worker that runs it; the front end decides
// how to show them (and carries them to its UI thread when it has one).
class JobObserver {
  public:
    virtual ~JobObserver() = default;
    // Appends one line in `colour` to the log.
    virtual void WriteLog(const std::string& text, TColor colour) = 0;
    // The progress bar: `position` of `maximum` (rows done of all rows).
    virtual void Progress(int64_t position, int64_t maximum) = 0;
    virtual void StateChanged(JobState state) = 0;
    // A modal message: the "Warning" box of a refused command, or an error box.
    virtual void ShowMessage(JobMessageKind kind, const std::string& text) = 0;
};

inline constexpr std::string_view kNoTaskWarning =
    "Select at least one task: resize, convert, rename or add watermark.";
inline constexpr std::string_view kCreateFolderError = "Unable to create directory";

enum class StartOutcome {
    Started,       // the worker is to run RunJob now
    NoTask,        // the warning was shown; nothing else happened
    FolderFailed,  // the output folder is missing and could not be made
};

// Counts of the job that ran last.
struct JobSummary {
    int64_t Succeeded = 0;
    int64_t Failed = 0;
    int64_t Total = 0;  // rows of the job
    bool Cancelled = false;
    bool FolderFailed = false;
    // Every row got "OK" and the job was not cut short.
    bool AllOk() const { return !FolderFailed && !Cancelled && Failed == 0 && Succeeded == Total; }
};

// The batch processor: one invisible document with its loader and saver, parameter
// record and processor, reused by every file of every job for as long as the object
// lives. StartJob and FinishJob belong to the front end's thread, RunJob to a worker;
// Cancel may come from any thread while RunJob runs. One job at a time.
class BatchProcessor {
  public:
    explicit BatchProcessor(JobObserver& observer);
    ~BatchProcessor();
    BatchProcessor(const BatchProcessor&) = delete;
    BatchProcessor& operator=(const BatchProcessor&) = delete;

    // "Process Images": checks the tasks, logs them, finds or creates the output folder
    // and takes copies of the settings and rows for RunJob. The front end then resets
    // its elapsed-seconds count and runs RunJob on its worker when the result is Started.
    StartOutcome StartJob(const JobSettings& settings, std::vector<ImageEntry> rows);
    // The worker's body: every row in order, one log line each; a failing file never
    // stops the job; stops before the next row once Cancel was asked for.
    void RunJob();
    // After the worker ended: the cancel line and "Done in ..." with the seconds counted.
    void FinishJob(int32_t elapsedSeconds);

    // The Cancel button: the job stops before its next file, and the load or save in
    // progress is asked to abort.
    void Cancel();
    bool CancelRequested() const { return m_cancelRequested.load(); }

    const JobSummary& Summary() const { return m_summary; }
    TImageIO& IO() { return m_io; }
    TImageDocument& Document() { return m_document; }

  private:
    void ProcessFile(size_t index);
    void CopyRenamed(const std::filesystem::path& source, size_t index);
    void SetWriteOptions();
    void ResizeImage();
    void AddWatermark();
    void Save(const std::string& outputName, const std::string& displayName);
    void ResetDocument();
    std::filesystem::path InFolder(const std::string& name) const;

    JobObserver& m_observer;
    TImageDocument m_document;
    TImageIO m_io;

    JobSettings m_settings;
    std::vector<ImageEntry> m_rows;
    std::string m_folder;  // the output folder without its trailing "/"
    TResampleFilter m_filter = rfFastLinear;
    uint8_t m_dct = 0, m_pngFilter = 0, m_bmpCompression = 0, m_tiffCompression = 0;

    std::atomic<bool> m_cancelRequested{false};
    JobSummary m_summary;
};

// "[" nn "] Processing " name "... OK" / "... Error" with nn at least two digits.
std::string FileLine(int64_t number, std::string_view name, bool ok);
// "Done in 60 seconds." up to 60 s, "Done in 2 minutes and 5 seconds." from 61 s on.
std::string DoneMessage(int32_t seconds);
// The name of a row as written under a prefix: prefix + number + extension of `source`.
std::string NumberedName(std::string_view prefix, int64_t number,
                         const std::filesystem::path& source);
// `name` with the extension after its last "." replaced by `extension`.
std::string ReplaceExtension(std::string_view name, std::string_view extension);

// Copies `source` to `target` through a temporary file in the target's folder that is
// renamed over it, keeping the source's mode and modification time. Raises
// std::runtime_error when the target is the source itself or any step fails; the
// target is then as it was.
void CopyFileReplacing(const std::filesystem::path& source, const std::filesystem::path& target);

}  // namespace morvane
