// SPDX-License-Identifier: GPL-3.0-or-later
// Reading ahead on worker threads must not change what a run does: the same copies, the same
// report, the same failures in the same order as a run that reads everything on its own thread.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "TestTree.h"
#include "engine/FileSync.h"

using namespace FileSync;

namespace {

const long long kBase = ::time(nullptr) - 86'400;

// Calls `visit` with each of the 27 leaf folders of a tree 3 folders wide and 3 deep (40
// folders: enough for a run to start reading ahead unasked).
template <typename Visit>
void EachLeaf(Visit&& visit) {
    for (const char* a : {"a", "b", "c"})
        for (const char* b : {"d", "e", "f"})
            for (const char* c : {"g", "h", "i"})
                visit(std::string(a) + "/" + b + "/" + c, *b, *c);
}

// A file in every folder below the first level.
void MakeSource(const std::string& root) {
    EachLeaf([&](const std::string& leaf, char, char) {
        WriteFileAt(root + "/" + leaf + "/file", leaf, kBase);
        WriteFileAt(root + "/" + leaf.substr(0, 3) + "/top", leaf.substr(0, 3), kBase);
    });
}

// Part of the source: folders under */f missing, files under */*/g up to date, under */*/h
// older, under */*/i newer than their source.
void MakeDestination(const std::string& root) {
    EachLeaf([&](const std::string& leaf, char b, char c) {
        if (b == 'f')
            return;
        long long seconds = c == 'h' ? kBase - 60 : c == 'i' ? kBase + 60 : kBase;
        WriteFileAt(root + "/" + leaf + "/file", c == 'g' ? leaf : "other", seconds);
    });
}

RunOptions ReadingAhead(FileSystem* fileSystem, RunReport& report, int threads) {
    RunOptions options;
    options.fileSystem = fileSystem;
    options.report = &report;
    options.readAheadThreads = threads;
    return options;
}

void ExpectSameReport(const RunReport& expected, const RunReport& actual) {
    EXPECT_EQ(actual.foldersVisited, expected.foldersVisited);
    EXPECT_EQ(actual.filesCompared, expected.filesCompared);
    EXPECT_EQ(actual.filesCopied, expected.filesCopied);
    EXPECT_EQ(actual.bytesCopied, expected.bytesCopied);
    ASSERT_EQ(actual.failures.size(), expected.failures.size());
    for (std::size_t i = 0; i < expected.failures.size(); ++i) {
        EXPECT_EQ(actual.failures[i].path, expected.failures[i].path) << i;
        EXPECT_EQ(actual.failures[i].reason, expected.failures[i].reason) << i;
    }
}

// Fails chosen folders whatever the thread or order they are read in: opening those named
// "locked", listing those named "broken". Runs out of handles once per folder named "busy"
// when a worker opens it, as a process short of descriptors would.
class FaultyFolders final : public ForwardingFileSystem {
public:
    explicit FaultyFolders(std::thread::id walk) : walk_(walk) {}
    bool SafeForReadAhead() const override { return true; }

    Folder GetSubFolder(const Folder& parent, std::string_view name) override {
        if (name == "locked")
            throw FileSystemError(EACCES, parent.PathOf(name));
        if (name == "busy" && std::this_thread::get_id() != walk_ && !ranOut_.exchange(true))
            throw FileSystemError(EMFILE, parent.PathOf(name));
        return ForwardingFileSystem::GetSubFolder(parent, name);
    }
    void List(const Folder& folder, FolderListing& listing) override {
        if (fs::path(folder.Path()).filename() == "broken")
            throw FileSystemError(EIO, folder.Path());
        ForwardingFileSystem::List(folder, listing);
    }

private:
    std::thread::id walk_;
    std::atomic<bool> ranOut_{false};
};

// Notes whether any call came from a thread other than the walk's.
class OneThreadOnly final : public ForwardingFileSystem {
public:
    std::atomic<bool> calledElsewhere{false};
    Folder GetSubFolder(const Folder& parent, std::string_view name) override {
        Note();
        return ForwardingFileSystem::GetSubFolder(parent, name);
    }
    bool GetFile(const Folder& folder, std::string_view name, FileFacts& facts) override {
        Note();
        return ForwardingFileSystem::GetFile(folder, name, facts);
    }

private:
    void Note() { calledElsewhere = calledElsewhere || std::this_thread::get_id() != walk_; }
    std::thread::id walk_ = std::this_thread::get_id();
};

// Moves the destination folder "a" out of the destination once, as soon as it has been opened
// (ahead of the walk); the copy of the top's file waits for that.
class MovedAfterOpening final : public ForwardingFileSystem {
public:
    MovedAfterOpening(std::string destination, std::string elsewhere)
        : destination_(std::move(destination)), elsewhere_(std::move(elsewhere)) {}
    bool SafeForReadAhead() const override { return true; }
    Folder GetSubFolderNoFollow(const Folder& parent, std::string_view name) override {
        Folder folder = ForwardingFileSystem::GetSubFolderNoFollow(parent, name);
        if (name == "a" && parent.Path() == destination_) {
            std::lock_guard lock(mutex_);
            if (!moved_)
                fs::rename(parent.PathOf(name), elsewhere_);
            moved_ = true;
            done_.notify_all();
        }
        return folder;
    }
    std::uint64_t CopyFileData(const File& from, const File& to, std::uint64_t offset,
                               std::uint64_t limit) override {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return moved_; });
        lock.unlock();
        return ForwardingFileSystem::CopyFileData(from, to, offset, limit);
    }

private:
    const std::string destination_;
    const std::string elsewhere_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool moved_ = false;
};

}  // namespace

// Runs `run` into a fresh destination with no read-ahead and then with `threads`; expects the
// same destination and the same report.
template <typename Run>
void ExpectSameAsOneThread(const TempFolder& tree, int threads, Run&& run) {
    RunReport one, many;
    MakeDestination(tree / "dst");
    run(one, 0);
    const auto expected = Snapshot(tree / "dst");
    fs::remove_all(tree / "dst");
    MakeDestination(tree / "dst");
    run(many, threads);
    EXPECT_EQ(Snapshot(tree / "dst"), expected);
    ExpectSameReport(one, many);
}

TEST(ReadAhead, CopiesReportsAndFailuresMatchAOneThreadRun) {
    TempFolder tree;
    MakeSource(tree / "src");
    for (const char* name : {"locked", "broken", "busy"})
        WriteFileAt(tree / "src/b/e/" + name + "/file", name, kBase);
    FaultyFolders fileSystem(std::this_thread::get_id());
    ExpectSameAsOneThread(tree, 4, [&](RunReport& report, int threads) {
        SyncFolderTree(tree / "src", tree / "dst", ReadingAhead(&fileSystem, report, threads));
        EXPECT_EQ(report.failures.size(), 2u);
    });

    // Up to date now, and found so by threads that start on their own in a tree this wide.
    RunReport again;
    SyncFolderTree(tree / "src", tree / "dst", ReadingAhead(&fileSystem, again, -1));
    EXPECT_EQ(again.filesCopied, 0u);
    EXPECT_EQ(again.failures.size(), 2u);
}

#ifndef _WIN32
TEST(ReadAhead, LinkCyclesAndUnreadableFoldersMatchAOneThreadRun) {
    TempFolder tree;
    MakeSource(tree / "src");
    fs::create_directory_symlink("../..", tree / "src/a/d/up");
    fs::create_directory_symlink(tree / "dst", tree / "src/c/backup");
    fs::permissions(tree / "src/b/d", fs::perms::none);
    ExpectSameAsOneThread(tree, 8, [&](RunReport& report, int threads) {
        SyncFolderTree(tree / "src", tree / "dst", ReadingAhead(nullptr, report, threads));
    });
    fs::permissions(tree / "src/b/d", fs::perms::owner_all);
}
#endif

// A folder read ahead and then moved out of the destination is never written into: the walk
// finds another folder at its name and reads the pair again.
TEST(ReadAhead, FolderMovedAwayAfterItWasReadIsNotWrittenInto) {
    TempFolder tree;
    WriteFileAt(tree / "src/file", "f", kBase);
    WriteFileAt(tree / "src/a/inner", "i", kBase);
    fs::create_directories(tree / "dst/a");
    fs::create_directories(tree / "elsewhere");
    MovedAfterOpening fileSystem(tree / "dst", tree / "elsewhere/a");
    RunReport report;
    SyncFolderTree(tree / "src", tree / "dst", ReadingAhead(&fileSystem, report, 2));
    EXPECT_TRUE(fs::is_empty(tree / "elsewhere/a"));
    EXPECT_EQ(Snapshot(tree / "dst"), Snapshot(tree / "src"));
    EXPECT_TRUE(report.failures.empty());
}

TEST(ReadAhead, StaysOnTheWalksThreadUnlessTheFileSystemAllowsIt) {
    TempFolder tree;
    MakeSource(tree / "src");
    OneThreadOnly fileSystem;
    RunReport report;
    SyncFolderTree(tree / "src", tree / "dst", ReadingAhead(&fileSystem, report, 8));
    EXPECT_FALSE(fileSystem.calledElsewhere);
    EXPECT_EQ(Snapshot(tree / "dst"), Snapshot(tree / "src"));
}

TEST(ReadAhead, WhatWasReadLongAgoIsReadAgainAndAStopEndsTheWorkers) {
    TempFolder tree;
    MakeSource(tree / "src");
    MakeDestination(tree / "dst");
    // Every leaf file changes at the run's first yield, in the first folder with files, before
    // the walk reaches any leaf: with nothing kept fresh, the run copies every one.
    RunReport report;
    RunOptions options = ReadingAhead(nullptr, report, 4);
    options.readAheadFreshFor = std::chrono::milliseconds(0);
    bool changed = false;
    options.yield = [&] {
        if (!std::exchange(changed, true))
            EachLeaf([&](const std::string& leaf, char, char) {
                WriteFileAt(tree / "src/" + leaf + "/file", "changed", kBase + 3600);
            });
    };
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_TRUE(changed);
    EXPECT_EQ(Snapshot(tree / "dst"), Snapshot(tree / "src"));

    // A run stopped early, with workers reading ahead, and a run nested in its yield.
    RunReport stopped, nested;
    RunOptions stopping = ReadingAhead(nullptr, stopped, 4);
    int yields = 0;
    stopping.yield = [&] {
        if (++yields == 3)
            SyncFolderTree(tree / "src", tree / "nested", ReadingAhead(nullptr, nested, 4));
    };
    stopping.stopRequested = [&] { return yields >= 5; };
    SyncFolderTree(tree / "src", tree / "stopped", stopping);
    EXPECT_TRUE(stopped.failures.empty());
    EXPECT_LT(stopped.foldersVisited, 40u);
    EXPECT_FALSE(HasTemporaries(tree / "stopped"));
    EXPECT_EQ(Snapshot(tree / "nested"), Snapshot(tree / "src"));
}
