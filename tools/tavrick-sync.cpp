// SPDX-License-Identifier: GPL-3.0-or-later
// tavrick-sync: the backup engine without the window, for scripts, cron and timers. One run of
// SyncFolderTree from SOURCE into DESTINATION, then its report. See --help and tavrick-sync(1).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "DryRunFileSystem.h"
#include "ForwardingFileSystem.h"
#include "PrintablePath.h"
#include "engine/FileSync.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include "engine/win/WidePath.h"
#define isatty _isatty
#define fileno _fileno
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

// Writes UTF-8 `text` to `stream`. A Windows console shows bytes in its own code page, so there
// the text goes to it in UTF-16 and every name is readable; files and pipes get UTF-8.
void PrintText(std::FILE* stream, const std::string& text) {
#ifdef _WIN32
    const HANDLE console = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const std::wstring wide = WidePath::FromUtf8(text);
    if (GetConsoleMode(console, &mode) && !wide.empty()) {
        std::fflush(stream);
        DWORD written = 0;
        WriteConsoleW(console, wide.data(), DWORD(wide.size()), &written, nullptr);
        return;
    }
#endif
    std::fputs(text.c_str(), stream);
}

constexpr int kDone = 0;
constexpr int kSomeFailed = 1;
constexpr int kUsage = 2;
constexpr int kUnreachable = 3;

constexpr const char* kUsageText = R"(Usage: tavrick-sync [OPTION]... SOURCE DESTINATION
Brings the folder tree DESTINATION up to date with SOURCE, one way: missing files and folders
are copied, files whose source copy is newer (or has the same time and another size) are
replaced, and nothing is ever deleted or written into SOURCE.

Options:
  -n, --dry-run             list what a run would copy, and why, and write nothing
  -q, --quiet               print nothing unless something failed (a dry run's list stays)
  --read-ahead N            read folders ahead with exactly N threads (0: none); without it
                            the run chooses
  --no-create-destination   fail, instead of making it, when DESTINATION does not exist
                            (a drive that is not attached)
  -h, --help                print this help and exit
  --version                 print the version and exit

On a terminal a progress line shows the counts and the path being handled. Failures go to
standard error, one line each; paths with control characters or bytes that are not UTF-8 are
printed with \xHH escapes.

Exit status:
  0  everything was done
  1  some files or folders could not be copied
  2  the command was used wrongly
  3  SOURCE or DESTINATION could not be reached at all
SIGINT or SIGTERM stops the run as the window's Stop does: the copy in progress is dropped,
what was copied is put on stable storage, the temporaries are cleared, and the program then
ends by that signal.
)";

struct Settings {
    bool dryRun = false;
    bool quiet = false;
    bool createDestination = true;
    int readAheadThreads = -1;
    std::vector<std::string> folders;
};

enum class Action { Run, Help, Version, Usage };

// The arguments in UTF-8, as the engine takes paths. Windows hands main its arguments in the
// ANSI code page, which cannot hold every name, so they are taken from the wide command line.
std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        std::vector<std::string> arguments;
        for (int i = 0; i < count; ++i)
            arguments.push_back(WidePath::ToUtf8(wide[i]));
        LocalFree(wide);
        return arguments;
    }
#endif
    return {argv, argv + argc};
}

// A thread count: decimal digits only, and no more threads than make sense.
bool ParseThreads(const std::string& text, int& threads) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    threads = std::stoi(text);
    return threads <= 1024;
}

Action Parse(const std::vector<std::string>& arguments, Settings& settings, std::string& error) {
    bool options = true;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!options || argument.empty() || argument[0] != '-' || argument == "-") {
            settings.folders.push_back(argument);
        } else if (argument == "--") {
            options = false;
        } else if (argument == "--help" || argument == "-h") {
            return Action::Help;
        } else if (argument == "--version") {
            return Action::Version;
        } else if (argument == "--dry-run" || argument == "-n") {
            settings.dryRun = true;
        } else if (argument == "--quiet" || argument == "-q") {
            settings.quiet = true;
        } else if (argument == "--no-create-destination") {
            settings.createDestination = false;
        } else if (argument == "--read-ahead" || argument.starts_with("--read-ahead=")) {
            bool joined = argument.size() > 12;
            std::string value = joined                     ? argument.substr(13)
                                : i + 1 < arguments.size() ? arguments[++i]
                                                           : std::string();
            if (!ParseThreads(value, settings.readAheadThreads)) {
                error =
                    "--read-ahead takes a number of threads, not '" + PrintablePath(value) + "'";
                return Action::Usage;
            }
        } else {
            error = "unknown option '" + PrintablePath(argument) + "'";
            return Action::Usage;
        }
    }
    if (settings.folders.size() != 2) {
        error = "expected SOURCE and DESTINATION";
        return Action::Usage;
    }
    return Action::Run;
}

// The signal that asked the run to stop, 0 while none has.
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void OnStopSignal(int signal) {
    stopSignal = signal;
    // A second signal ends the program at once.
    std::signal(signal, SIG_DFL);
}

// Passes everything through and notes the path the run is at: the folder read last, or the
// file being copied. Folders may be read on read-ahead threads, hence the lock.
class WhereFileSystem : public FileSync::ForwardingFileSystem {
public:
    bool SafeForReadAhead() const override {
        return FileSync::PlatformFileSystem().SafeForReadAhead();
    }
    void List(const FileSync::Folder& folder, FileSync::FolderListing& listing) override {
        Note(folder.Path());
        ForwardingFileSystem::List(folder, listing);
    }
    FileSync::File OpenFile(const FileSync::Folder& folder, std::string_view name,
                            FileSync::FileFacts& facts) override {
        Note(folder.PathOf(name));
        return ForwardingFileSystem::OpenFile(folder, name, facts);
    }
    std::string Where() const {
        std::lock_guard lock(mutex_);
        return where_;
    }

private:
    void Note(const std::string& path) {
        std::lock_guard lock(mutex_);
        where_ = path;
    }
    mutable std::mutex mutex_;
    std::string where_;
};

int TerminalColumns() {
#ifdef TIOCGWINSZ
    winsize size{};
    if (::ioctl(fileno(stderr), TIOCGWINSZ, &size) == 0 && size.ws_col > 20)
        return size.ws_col;
#endif
    return 80;
}

// One line on the terminal, redrawn in place: the counts, then as much of the path's end as fits.
class ProgressLine {
public:
    explicit ProgressLine(const WhereFileSystem& where) : where_(where) {}

    void Show(const FileSync::RunReport& report) {
        auto now = std::chrono::steady_clock::now();
        if (now - shown_ < std::chrono::milliseconds(100))
            return;
        shown_ = now;
        std::string line = std::to_string(report.foldersVisited) + " folders, " +
                           std::to_string(report.filesCompared) + " files compared, " +
                           std::to_string(report.filesCopied) + " copied  ";
        std::size_t room = static_cast<std::size_t>(TerminalColumns() - 1);
        line += Tail(PrintablePath(where_.Where()), room > line.size() ? room - line.size() : 0);
        Draw(line);
    }
    void Clear() { Draw({}); }

private:
    // The end of `text` in at most `columns` characters (counted as UTF-8 sequences).
    static std::string Tail(const std::string& text, std::size_t columns) {
        std::size_t count = 0, start = text.size();
        while (start > 0 && count < columns)
            if ((static_cast<unsigned char>(text[--start]) & 0xC0) != 0x80)
                ++count;
        return start > 0 && columns > 0 ? "…" + text.substr(start + 1) : text.substr(start);
    }
    void Draw(const std::string& line) {
        std::size_t width = line.size();
        std::fprintf(stderr, "\r%s%*s", line.c_str(),
                     static_cast<int>(drawn_ > width ? drawn_ - width : 0), "");
        if (line.empty())
            std::fputc('\r', stderr);
        std::fflush(stderr);
        drawn_ = width;
    }
    const WhereFileSystem& where_;
    std::chrono::steady_clock::time_point shown_;
    std::size_t drawn_ = 0;
};

const char* WhyText(FileSync::DryRunFileSystem::Why why) {
    switch (why) {
        case FileSync::DryRunFileSystem::Why::NewFolder:
            return "new folder";
        case FileSync::DryRunFileSystem::Why::New:
            return "new";
        case FileSync::DryRunFileSystem::Why::Newer:
            return "newer";
        case FileSync::DryRunFileSystem::Why::OtherSize:
            return "other size";
        case FileSync::DryRunFileSystem::Why::Link:
            return "link";
    }
    return "";
}

void PrintSummary(const FileSync::RunReport& report, bool dryRun, double seconds) {
    const char* verb = dryRun ? "to copy" : "copied";
    std::printf("folders visited: %llu\n", static_cast<unsigned long long>(report.foldersVisited));
    std::printf("files compared: %llu\n", static_cast<unsigned long long>(report.filesCompared));
    std::printf("files %s: %llu\n", verb, static_cast<unsigned long long>(report.filesCopied));
    std::printf("bytes %s: %llu\n", verb, static_cast<unsigned long long>(report.bytesCopied));
    std::printf("links %s: %llu\n", dryRun ? "to make" : "made",
                static_cast<unsigned long long>(report.linksMade));
    std::printf("failures: %zu\n", report.failures.size());
    std::printf("seconds: %.3f\n", seconds);
    for (const std::string& note : report.notes)
        PrintText(stdout, "note: " + note + "\n");
}

int ExitStatus(const FileSync::RunReport& report) {
    int status = kDone;
    for (const auto& failure : report.failures) {
        if (failure.kind == FileSync::FailureKind::TopUnreachable ||
            failure.kind == FileSync::FailureKind::DriveNotAttached)
            return kUnreachable;
        status = kSomeFailed;
    }
    return status;
}

int RunSync(const Settings& settings) {
    WhereFileSystem where;
    FileSync::DryRunFileSystem dryRun(where);
    ProgressLine progress(where);
    bool showProgress = !settings.quiet && isatty(fileno(stderr));

    FileSync::RunReport report;
    FileSync::RunOptions options;
    options.report = &report;
    // The path shown is noted only for the progress line; a dry run writes nothing at all.
    if (settings.dryRun)
        options.fileSystem = &dryRun;
    else if (showProgress)
        options.fileSystem = &where;
    options.readAheadThreads = settings.readAheadThreads;
    options.createDestination = settings.createDestination;
    options.stopRequested = [] { return stopSignal != 0; };
    if (showProgress)
        options.progress = [&](const FileSync::RunReport& now) { progress.Show(now); };

    auto start = std::chrono::steady_clock::now();
    FileSync::SyncFolderTree(settings.folders[0], settings.folders[1], options);
    std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    if (showProgress)
        progress.Clear();

    for (const auto& copy : dryRun.WouldCopies()) {
        std::string why = WhyText(copy.why);
        why.resize(std::max<std::size_t>(why.size(), 10), ' ');
        PrintText(stdout, why + "  " + PrintablePath(copy.path) + "\n");
    }
    for (const auto& failure : report.failures)
        PrintText(stderr,
                  "tavrick-sync: " + PrintablePath(failure.path) + ": " + failure.reason + "\n");
    if (!settings.quiet)
        PrintSummary(report, settings.dryRun, seconds.count());
    return ExitStatus(report);
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    std::string error;
    switch (Parse(Arguments(argc, argv), settings, error)) {
        case Action::Help:
            std::fputs(kUsageText, stdout);
            return kDone;
        case Action::Version:
            std::printf("tavrick-sync %s\n", TAVRICK_VERSION);
            return kDone;
        case Action::Usage:
            std::fprintf(stderr, "tavrick-sync: %s\nTry 'tavrick-sync --help'.\n", error.c_str());
            return kUsage;
        case Action::Run:
            break;
    }
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    int status = RunSync(settings);
    std::fflush(stdout);
    if (int signal = stopSignal) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return 128 + signal;
    }
    return status;
}
