// Placeholder implementation over std::filesystem, to be replaced by the real engine.
#include "FileSync.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace FileSync {

ComparisonTable CompareFolderFiles(std::string, std::string) {
    return {};
}
ComparisonTable CompareFolderFiles(std::string, std::string, FileSystem&) {
    return {};
}
void SyncFolderFiles(std::string, std::string) {}
void SyncFolderFiles(std::string, std::string, const RunOptions&) {}

void SyncFolderTree(std::string source, std::string destination) {
    SyncFolderTree(std::move(source), std::move(destination), RunOptions{});
}

void SyncFolderTree(std::string source, std::string destination, const RunOptions& options) {
    if (source.empty() || destination.empty())
        return;
    std::error_code error;
    fs::copy(source, destination, fs::copy_options::recursive | fs::copy_options::update_existing,
             error);
    if (error && options.report)
        options.report->failures.push_back({source, error.message()});
    if (options.yield)
        options.yield();
}

}  // namespace FileSync
