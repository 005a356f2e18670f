// morvane-batch: the batch job from a terminal or a script, over the same core as the
// window. Log lines go to standard output, a live progress line to standard error.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "batchjob.h"
#include "importer.h"
#include "jobsettings.h"
#include "version.h"

namespace morvane {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kHelp =
    R"(Usage: morvane-batch [--settings FILE] [--set KEY=VALUE]... [--output DIR] PATH...

Runs the Morvane batch job over image files: for every file, in order, resize it,
lay a watermark over it, convert it and save it into the output folder, under its own
name or a prefix with a running number, as the job's settings say. A file that fails
never stops the job.

PATH is an image file or a folder. Files are taken when their extension is one of
.bmp .gif .jpg .jpe .jpeg .png .j2k .jp2 .ico .tif (in any letter case); folders are
searched with all their subfolders for *.jpg *.jpeg *.png *.gif *.bmp *.tif *.j2k
*.jp2 *.ico. A path named twice (also in other letter case) counts once. The files are
processed in the order of their names, as the window lists them.

Options:
  --settings FILE   read the job's settings from FILE instead of the user's settings
                    file (~/.config/morvane.ini). The file must exist.
  --set KEY=VALUE   override one setting by its settings-file key, after the file was
                    read; may be given many times. Booleans are 1 or 0, numbers decimal
                    or hexadecimal with 0x or $, texts as they stand. Example:
                      --set Convert=1 --set ConvertItem=1 --set JPEGQuality=90
  --output DIR      the output folder (the key Output); created with its parents when
                    missing.
  --help            show this text and exit.
  --version         show the version and exit.
The settings file is never written.

Settings keys (section General):
  Output (text)  ResizeItem (0 240x320, 1 320x240, 2 320x480, 3 640x480, 4 720x480,
  5 720x576, 6 800x600, 7 1024x768, 8 custom)  ConvertItem (0 JPEG, 1 PNG, 2 BMP,
  3 GIF, 4 TIFF)  RenameText (prefix)  Resize  Convert  Rename (tasks, 1 or 0)
  CustomWidth  CustomHeight  Update
Settings keys (section Output):
  Watermark (task, 1 or 0)  WatermarkPath  Opacity (0..255)  LayerPosition (0 top
  left, 1 top center, 2 top right, 3 left, 4 center, 5 right, 6 bottom left, 7 bottom
  center, 8 bottom right)  MarginX  MarginY  Proportions  UseOriginal  ResizeFilter
  (0 None, 1 Linear, 2 FastLinear, 3 Triangle, 4 Hermite, 5 Bell, 6 BSpline,
  7 Lanczos3, 8 Mitchell, 9 Nearest, 10 Bilinear, 11 Bicubic, 12 ProjectBW,
  13 ProjectWB)  JPEGQuality (0..100)  ColorSpace (0 no change, 1 RGB, 2 GrayScale,
  3 YCbCr, 4 CMYK, 5 YCbCrK)  DCT (0 ISLOW, 1 IFAST, 2 FLOAT)  Smooth (0..100)
  Progressive  Huffman  Interlaced (PNG)  PNGFilter (0 None, 1 Sub, 2 Paeth)
  Compression (PNG, 0..9)  RLE (BMP)  GIFInterlaced  TIFFCompression (0 none,
  1 CCITT1D, 2 G3FAX1D, 3 G3FAX2D, 4 G4FAX, 5 LZW, 6 OLDJPEG, 7 JPEG, 8 PACKBITS)

Output: the job's log on standard output, one line per file ending in "OK" or
"Error", coloured when standard output is a terminal. While the job runs, standard
error shows a progress line when it is a terminal. Ctrl+C cancels the job after the
file in progress; a second Ctrl+C ends the program at once.

Exit status:
  0  every file was processed ("OK")
  1  a file failed, the job was cancelled, no image file was found, or the output
     folder could not be made
  2  usage error (a bad option, an unknown key or value, no PATH, a missing settings
     file, or settings with no task switched on)
)";

struct Options {
    std::optional<std::string> SettingsFile;
    std::vector<std::string> Sets;
    std::optional<std::string> Output;
    std::vector<std::filesystem::path> Paths;
    bool Help = false;
    bool Version = false;
};

struct UsageError {
    std::string Message;
};

Options ParseArguments(int argc, char** argv) {
    Options options;
    bool pathsOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (pathsOnly || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!arg.empty())
                options.Paths.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            pathsOnly = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            options.Help = true;
            continue;
        }
        if (arg == "--version") {
            options.Version = true;
            continue;
        }
        std::string_view name = arg, value;
        bool hasValue = false;
        if (size_t eq = arg.find('='); eq != std::string_view::npos && arg.starts_with("--")) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        if (name != "--settings" && name != "--set" && name != "--output") {
            throw UsageError{"unknown option '" + std::string(arg) + "'"};
        }
        if (!hasValue) {
            if (i + 1 >= argc)
                throw UsageError{"option '" + std::string(name) + "' needs a value"};
            value = argv[++i];
        }
        if (name == "--settings") {
            options.SettingsFile = std::string(value);
        } else if (name == "--output") {
            if (value.empty())
                throw UsageError{"option '--output' needs a folder"};
            options.Output = std::string(value);
        } else {
            options.Sets.emplace_back(value);
        }
    }
    return options;
}

JobSettings MakeSettings(const Options& options) {
    std::filesystem::path file = SettingsFilePath();
    if (options.SettingsFile) {
        file = *options.SettingsFile;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(file, ec) || access(file.c_str(), R_OK) != 0) {
            throw UsageError{"cannot read the settings file '" + *options.SettingsFile + "'"};
        }
    }
    JobSettings settings;
    LoadSettings(settings, file);
    for (const std::string& set : options.Sets) {
        size_t eq = set.find('=');
        if (eq == std::string::npos || eq == 0) {
            throw UsageError{"'--set " + set + "' is not KEY=VALUE"};
        }
        std::string key = set.substr(0, eq), value = set.substr(eq + 1);
        switch (SetSettingByKey(settings, key, value)) {
            case SetSettingResult::Ok:
                break;
            case SetSettingResult::UnknownKey:
                throw UsageError{"unknown settings key '" + key + "'"};
            case SetSettingResult::BadValue:
                throw UsageError{"'" + value + "' is not a number (key " + key + ")"};
        }
    }
    if (options.Output)
        settings.Output = *options.Output;
    if (settings.Output.empty())
        settings.Output = DefaultOutputFolder();
    ApplyPreset(settings);
    return settings;
}

std::string Clock(int64_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

// Shows the job in a terminal or a pipe. Called from the worker and from the main
// thread, so every write holds the lock.
class ConsoleObserver : public JobObserver {
  public:
    ConsoleObserver()
        : m_colour(isatty(STDOUT_FILENO) == 1), m_progressLine(isatty(STDERR_FILENO) == 1) {}

    void WriteLog(const std::string& text, TColor colour) override {
        std::lock_guard lock(m_mutex);
        ClearProgress();
        const char* on = !m_colour             ? ""
                         : colour == kLogGreen ? "\033[32m"
                         : colour == kLogRed   ? "\033[31m"
                                               : "";
        std::fprintf(stdout, "%s%s%s\n", on, text.c_str(), *on ? "\033[0m" : "");
        std::fflush(stdout);
        DrawProgress();
    }

    void Progress(int64_t position, int64_t maximum) override {
        std::lock_guard lock(m_mutex);
        m_position = position;
        m_maximum = maximum;
        ClearProgress();
        DrawProgress();
    }

    void StateChanged(JobState state) override {
        std::lock_guard lock(m_mutex);
        m_running = state == JobState::Running;
        ClearProgress();
        DrawProgress();
    }

    void ShowMessage(JobMessageKind kind, const std::string& text) override {
        std::lock_guard lock(m_mutex);
        ClearProgress();
        std::fprintf(stderr, "morvane-batch: %s%s\n",
                     kind == JobMessageKind::Warning ? "" : "error: ", text.c_str());
        DrawProgress();
    }

    void Tick(int64_t elapsedSeconds) {
        std::lock_guard lock(m_mutex);
        m_elapsed = elapsedSeconds;
        ClearProgress();
        DrawProgress();
    }

    void EndProgress() {
        std::lock_guard lock(m_mutex);
        ClearProgress();
        m_running = false;
    }

  private:
    void ClearProgress() {
        if (m_shown)
            std::fputs("\r\033[K", stderr);
        m_shown = false;
    }
    void DrawProgress() {
        if (!m_progressLine || !m_running)
            return;
        std::fprintf(stderr, "%lld of %lld files, %s elapsed", static_cast<long long>(m_position),
                     static_cast<long long>(m_maximum), Clock(m_elapsed).c_str());
        std::fflush(stderr);
        m_shown = true;
    }

    std::mutex m_mutex;
    const bool m_colour;
    const bool m_progressLine;
    bool m_running = false;
    bool m_shown = false;
    int64_t m_position = 0, m_maximum = 0, m_elapsed = 0;
};

int RunBatch(const JobSettings& settings, std::vector<ImageEntry> rows) {
    ConsoleObserver console;
    BatchProcessor job(console);

    // Signals are taken by the main thread alone, through sigtimedwait: SIGINT and
    // SIGTERM cancel, SIGUSR1 is the worker saying it is done.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    switch (job.StartJob(settings, std::move(rows))) {
        case StartOutcome::NoTask:
            return kExitUsage;
        case StartOutcome::FolderFailed:
            return kExitFailed;
        case StartOutcome::Started:
            break;
    }

    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                start)
            .count();
    };
    const pthread_t mainThread = pthread_self();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        job.RunJob();
        done.store(true);
        pthread_kill(mainThread, SIGUSR1);
    });

    bool cancelled = false;
    while (!done.load()) {
        timespec wait{1, 0};
        int sig = sigtimedwait(&signals, nullptr, &wait);
        if (sig == SIGINT || sig == SIGTERM) {
            if (cancelled) {
                console.EndProgress();
                std::_Exit(128 + sig);
            }
            cancelled = true;
            job.Cancel();
        }
        console.Tick(elapsed());
    }
    worker.join();
    console.EndProgress();
    job.FinishJob(int32_t(elapsed()));
    return job.Summary().AllOk() ? kExitOk : kExitFailed;
}

int Main(int argc, char** argv) {
    try {
        Options options = ParseArguments(argc, argv);
        if (options.Help) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (options.Version) {
            std::printf("%s\n", kProductVersion);
            return kExitOk;
        }
        if (options.Paths.empty())
            throw UsageError{"no PATH given"};
        JobSettings settings = MakeSettings(options);
        // The rows' size column is the window's; the runner does not read image headers
        // for it.
        std::vector<ImageEntry> rows = ImportPaths(options.Paths, {});
        if (rows.empty()) {
            std::fputs("morvane-batch: no image file found in the given paths\n", stderr);
            return kExitFailed;
        }
        return RunBatch(settings, std::move(rows));
    } catch (const UsageError& error) {
        std::fprintf(stderr,
                     "morvane-batch: %s\nTry 'morvane-batch --help' for more information.\n",
                     error.Message.c_str());
        return kExitUsage;
    }
}

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) {
    return morvane::Main(argc, argv);
}
