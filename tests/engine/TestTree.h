// Real temporary folder trees for the engine tests, and a file-system wrapper that records what
// the engine does and fails chosen copies.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "ForwardingFileSystem.h"

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "tavrick-test-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }
    std::string operator/(const std::string& relative) const { return root_ + "/" + relative; }
    const std::string& Path() const { return root_; }

private:
    std::string root_;
};

// Writes a file, making its folders, and dates it a day back: a file the engine finds modified
// in the very second it copies it is copied again by the next run, which would blur what a
// test checks. Tests about that moment set the time themselves.
inline void WriteFile(const std::string& path, const std::string& contents) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
    struct timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 86'400, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Sets the modification time to `seconds` since the epoch plus `nanoseconds`.
inline void SetModified(const std::string& path, long long seconds, long nanoseconds = 0) {
    struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

inline struct stat StatOf(const std::string& path) {
    struct stat status {};
    ::stat(path.c_str(), &status);
    return status;
}

// Every path below `root`, relative and sorted, with its contents for files.
inline std::vector<std::string> Snapshot(const std::string& root) {
    std::vector<std::string> lines;
    for (auto& entry : fs::recursive_directory_iterator(root)) {
        std::string line = fs::relative(entry.path(), root).string();
        if (entry.is_regular_file())
            line += " = " + ReadFile(entry.path().string()) + " @" +
                    std::to_string(StatOf(entry.path().string()).st_mtim.tv_sec);
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Whether an engine temporary (or its area) is anywhere below `root`.
inline bool HasTemporaries(const std::string& root) {
    for (auto& entry : fs::recursive_directory_iterator(root))
        if (entry.path().filename().string().starts_with(".tavrick-partial-"))
            return true;
    return false;
}

// Forwards to the platform's file system, recording copies, failing chosen ones, and changing
// what a copy sees while it runs.
class RecordingFileSystem : public FileSync::ForwardingFileSystem {
public:
    using Folder = FileSync::Folder;

    // Full source paths of the copies asked for, in order, failed ones included.
    std::vector<std::string> copies;
    // Paths of the folders listed, in order.
    std::vector<std::string> listed;
    // Called with the copy's number (from 1) and source path; true makes the copy fail.
    std::function<bool(int number, const std::string& path)> failCopy;
    int syncs = 0;
    // Called before each slice of data a copy asks for, with the source's path and offset.
    std::function<void(const std::string& source, std::uint64_t offset)> beforeSlice;
    // The most bytes one slice copies; 0 leaves it to the engine.
    std::uint64_t sliceLimit = 0;
    // May change the facts read of any open file.
    std::function<void(const FileSync::File&, FileSync::FileFacts&)> factsOf;

    void List(const Folder& folder, FileSync::FolderListing& listing) override {
        listed.push_back(folder.Path());
        ForwardingFileSystem::List(folder, listing);
    }
    // Every copy starts by opening its source.
    FileSync::File OpenFile(const Folder& folder, std::string_view name,
                            FileSync::FileFacts& facts) override {
        copies.push_back(folder.PathOf(name));
        if (failCopy && failCopy(static_cast<int>(copies.size()), copies.back()))
            throw FileSync::FileSystemError(EIO, copies.back());
        return ForwardingFileSystem::OpenFile(folder, name, facts);
    }
    std::uint64_t CopyFileData(const FileSync::File& from, const FileSync::File& to,
                               std::uint64_t offset, std::uint64_t limit) override {
        if (beforeSlice)
            beforeSlice(from.Path(), offset);
        return ForwardingFileSystem::CopyFileData(from, to, offset,
                                                  sliceLimit ? std::min(limit, sliceLimit) : limit);
    }
    void GetFileFacts(const FileSync::File& file, FileSync::FileFacts& facts) override {
        ForwardingFileSystem::GetFileFacts(file, facts);
        if (factsOf)
            factsOf(file, facts);
    }
    void SyncToStorage(const Folder& folder) override {
        ++syncs;
        ForwardingFileSystem::SyncToStorage(folder);
    }
};
