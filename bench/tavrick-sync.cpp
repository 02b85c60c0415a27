// Command-line driver over the backup engine: one SyncFolderTree run, then its report.
//   tavrick-sync [--read-ahead N] SOURCE DESTINATION
// --read-ahead N reads ahead with exactly N threads (0: none); without it the run chooses.
// Exit status: 0 when nothing failed, 1 when something did, 2 when used wrongly.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FileSync.h"

#ifdef _WIN32
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include "win/WidePath.h"
#endif

namespace {

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

// Writes UTF-8 `text` to standard output. A Windows console shows bytes in its own code page,
// so there the text goes to it in UTF-16 and every name is readable; files and pipes get UTF-8.
void PrintText(const std::string& text) {
#ifdef _WIN32
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const std::wstring wide = WidePath::FromUtf8(text);
    if (GetConsoleMode(output, &mode) && !wide.empty()) {
        std::fflush(stdout);
        DWORD written = 0;
        WriteConsoleW(output, wide.data(), DWORD(wide.size()), &written, nullptr);
        return;
    }
#endif
    std::fputs(text.c_str(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments = Arguments(argc, argv);
    FileSync::RunReport report;
    FileSync::RunOptions options;
    options.report = &report;
    if (arguments.size() == 5 && arguments[1] == "--read-ahead") {
        options.readAheadThreads = std::atoi(arguments[2].c_str());
        arguments.erase(arguments.begin() + 1, arguments.begin() + 3);
    }
    if (arguments.size() != 3 || options.readAheadThreads < -1) {
        std::fprintf(stderr, "usage: %s [--read-ahead N] SOURCE DESTINATION\n",
                     argc > 0 ? argv[0] : "tavrick-sync");
        return 2;
    }

    auto start = std::chrono::steady_clock::now();
    FileSync::SyncFolderTree(arguments[1], arguments[2], options);
    std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;

    std::printf("folders visited: %llu\n", static_cast<unsigned long long>(report.foldersVisited));
    std::printf("files compared: %llu\n", static_cast<unsigned long long>(report.filesCompared));
    std::printf("files copied: %llu\n", static_cast<unsigned long long>(report.filesCopied));
    std::printf("bytes copied: %llu\n", static_cast<unsigned long long>(report.bytesCopied));
    std::printf("failures: %zu\n", report.failures.size());
    for (const auto& failure : report.failures)
        PrintText("  " + failure.path + ": " + failure.reason + "\n");
    std::printf("seconds: %.3f\n", seconds.count());
    return report.failures.empty() ? 0 : 1;
}
