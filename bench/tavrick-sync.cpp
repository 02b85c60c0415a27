// Command-line driver over the backup engine: one SyncFolderTree run, then its report.
// Exit status: 0 when nothing failed, 1 when something did, 2 when used wrongly.
#include <chrono>
#include <cstdio>

#include "FileSync.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SOURCE DESTINATION\n", argc > 0 ? argv[0] : "tavrick-sync");
        return 2;
    }
    FileSync::RunReport report;
    FileSync::RunOptions options;
    options.report = &report;

    auto start = std::chrono::steady_clock::now();
    FileSync::SyncFolderTree(argv[1], argv[2], options);
    std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;

    std::printf("folders visited: %llu\n", static_cast<unsigned long long>(report.foldersVisited));
    std::printf("files compared: %llu\n", static_cast<unsigned long long>(report.filesCompared));
    std::printf("files copied: %llu\n", static_cast<unsigned long long>(report.filesCopied));
    std::printf("bytes copied: %llu\n", static_cast<unsigned long long>(report.bytesCopied));
    std::printf("failures: %zu\n", report.failures.size());
    for (const auto& failure : report.failures)
        std::printf("  %s: %s\n", failure.path.c_str(), failure.reason.c_str());
    std::printf("seconds: %.3f\n", seconds.count());
    return report.failures.empty() ? 0 : 1;
}
