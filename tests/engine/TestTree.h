// SPDX-License-Identifier: GPL-3.0-or-later
// Real temporary folder trees for the engine tests, and a file-system wrapper that records what
// the engine does and fails chosen copies.
#pragma once

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "FileSync.h"
#include "TempFolder.h"
#include "TestFiles.h"
#include "tools/ForwardingFileSystem.h"

namespace fs = std::filesystem;

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A modification time: seconds since the epoch, rounded down, and the nanoseconds after them.
struct Modified {
    long long seconds = 0;
    long nanoseconds = 0;
};

#ifdef _WIN32
// Windows counts file times in 100 ns from 1601.
constexpr long long kTicksPerSecond = 10'000'000;
constexpr long long kEpochTicks = 11'644'473'600LL * kTicksPerSecond;

inline HANDLE OpenForTimes(const std::string& path, DWORD access) {
    return CreateFileW(fs::path(path).wstring().c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

inline void SetModified(const std::string& path, long long seconds, long nanoseconds = 0) {
    const long long ticks = seconds * kTicksPerSecond + nanoseconds / 100 + kEpochTicks;
    const FILETIME time{DWORD(ticks), DWORD(ticks >> 32)};
    const HANDLE file = OpenForTimes(path, FILE_WRITE_ATTRIBUTES);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time)) << path;
    CloseHandle(file);
}

inline Modified ModifiedOf(const std::string& path) {
    FILETIME time{};
    const HANDLE file = OpenForTimes(path, FILE_READ_ATTRIBUTES);
    GetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
    const long long ticks =
        ((static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime) - kEpochTicks;
    long long seconds = ticks / kTicksPerSecond;
    long long rest = ticks % kTicksPerSecond;
    if (rest < 0) {
        --seconds;
        rest += kTicksPerSecond;
    }
    return {seconds, static_cast<long>(rest * 100)};
}
#else
inline void SetModified(const std::string& path, long long seconds, long nanoseconds = 0) {
    struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

inline struct stat StatOf(const std::string& path) {
    struct stat status {};
    ::stat(path.c_str(), &status);
    return status;
}

inline Modified ModifiedOf(const std::string& path) {
    const struct stat status = StatOf(path);
    return {status.st_mtim.tv_sec, status.st_mtim.tv_nsec};
}
#endif

// Writes a file, making its folders, modified at `seconds` since the epoch.
inline void WriteFileAt(const std::string& path, const std::string& contents, long long seconds) {
    ASSERT_TRUE(WriteFile(path, contents)) << path;
    SetModified(path, seconds);
}

// Writes a file dated a day back: a file the engine finds modified in the very second it
// copies it is copied again by the next run, which would blur what a test checks. Tests about
// that moment set the time themselves.
inline void WriteOldFile(const std::string& path, const std::string& contents) {
    WriteFileAt(path, contents, ::time(nullptr) - 86'400);
}

// Every path below `root`, relative and sorted, with its contents for files.
inline std::vector<std::string> Snapshot(const std::string& root) {
    std::vector<std::string> lines;
    for (auto& entry : fs::recursive_directory_iterator(root)) {
        std::string line = fs::relative(entry.path(), root).string();
        if (entry.is_regular_file())
            line += " = " + ReadFile(entry.path().string()) + " @" +
                    std::to_string(ModifiedOf(entry.path().string()).seconds);
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
    // Paths of the names looked at without following a link, as a comparison looks at a
    // destination file, in order.
    std::vector<std::string> lookedAt;
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
    FileSync::EntryKind LookAt(const Folder& folder, std::string_view name,
                               FileSync::FileFacts& facts,
                               FileSync::FolderIdentity& identity) override {
        lookedAt.push_back(folder.PathOf(name));
        return ForwardingFileSystem::LookAt(folder, name, facts, identity);
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

// Options for a run through `fileSystem` that reports into `report`.
inline FileSync::RunOptions OptionsFor(RecordingFileSystem& fileSystem,
                                       FileSync::RunReport& report) {
    FileSync::RunOptions options;
    options.fileSystem = &fileSystem;
    options.report = &report;
    return options;
}
