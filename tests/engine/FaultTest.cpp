// SPDX-License-Identifier: GPL-3.0-or-later
// Faults a run must survive: failed copies, FIFOs, link cycles, a destination inside the
// source, and temporaries left by a killed run.

#include <map>

#include "FileCopy.h"
#include "FileSync.h"
#include "TestTree.h"

using namespace FileSync;

TEST(Faults, ThirdOfFiveCopiesFailsAndTheOthersAreStillMade) {
    TempFolder tree;
    for (int i = 1; i <= 5; ++i)
        WriteOldFile(tree / "src/f" + std::to_string(i), "data");
    fs::create_directories(tree / "dst");
    RecordingFileSystem fileSystem;
    fileSystem.failCopy = [](int number, const std::string&) { return number == 3; };
    RunReport report;
    RunOptions options = OptionsFor(fileSystem, report);

    SyncFolderFiles(tree / "src", tree / "dst", options);

    ASSERT_EQ(fileSystem.copies.size(), 5u);
    const std::string failed = fileSystem.copies[2];
    for (const std::string& copy : fileSystem.copies)
        EXPECT_EQ(fs::exists(tree / "dst/" + fs::path(copy).filename().string()), copy != failed);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].path, failed);
    EXPECT_EQ(report.failures[0].reason, "Input/output error");
    EXPECT_EQ(report.filesCopied, 4u);
    EXPECT_EQ(report.filesCompared, 5u);

    // The next run retries only the one that failed.
    fileSystem.copies.clear();
    fileSystem.failCopy = nullptr;
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_EQ(fileSystem.copies, std::vector<std::string>{failed});
    EXPECT_EQ(Snapshot(tree / "dst"), Snapshot(tree / "src"));
}

TEST(Faults, UncopyableFileInTheMiddleHidesNothingElse) {
    TempFolder tree;
    for (const char* name : {"a", "b", "c", "d"})
        WriteOldFile(tree / "src/" + name, name);
    WriteOldFile(tree / "src/sub/e", "e");
    // A folder where a file should go cannot be replaced, not even by root.
    fs::create_directories(tree / "dst/b");
    RunReport report;
    RunOptions options;
    options.report = &report;
    SyncFolderTree(tree / "src", tree / "dst", options);
    for (const char* name : {"a", "c", "d", "sub/e"})
        EXPECT_EQ(ReadFile(tree / "dst/" + name), fs::path(name).filename().string()) << name;
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].path, tree / "dst/b");
    EXPECT_FALSE(HasTemporaries(tree / "dst"));

    // Run again: the one copy it tries fails again and leaves nothing behind either.
    report = {};
    SyncFolderTree(tree / "src", tree / "dst", options);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_FALSE(HasTemporaries(tree / "dst"));

    // The same inside a whole-folder copy: one unreadable file, the rest still arrive.
    RecordingFileSystem fileSystem;
    fileSystem.failCopy = [&](int, const std::string& path) {
        return fs::path(path).filename() == "c";
    };
    RunReport whole;
    options.fileSystem = &fileSystem;
    options.report = &whole;
    SyncFolderTree(tree / "src", tree / "fresh", options);
    EXPECT_FALSE(fs::exists(tree / "fresh/c"));
    for (const char* name : {"a", "b", "d", "sub/e"})
        EXPECT_TRUE(fs::exists(tree / "fresh/" + name)) << name;
    ASSERT_EQ(whole.failures.size(), 1u);
    EXPECT_EQ(whole.failures[0].path, tree / "src/c");
}

TEST(Faults, DestinationAndSourceInsideEachOtherAreNeverWrittenThrough) {
    TempFolder tree;
    WriteOldFile(tree / "src/file", "f");
    WriteOldFile(tree / "src/sub/inner", "i");
    std::string backup = tree / "src/sub/backup";
    SyncFolderTree(tree / "src", backup);  // whole copy
    WriteOldFile(tree / "src/later", "l");
    SyncFolderTree(tree / "src/", backup);  // walk
    EXPECT_EQ(ReadFile(backup + "/later"), "l");
    EXPECT_EQ(ReadFile(backup + "/sub/inner"), "i");
    EXPECT_FALSE(fs::exists(backup + "/sub/backup"));

    // The mirror image: the destination holds the source, which holds a folder of the
    // destination's name. Its files must not be written over their own source.
    WriteOldFile(tree / "w/proj/README", "TOP");
    SetModified(tree / "w/proj/README", 1'500'000'000);
    WriteOldFile(tree / "w/proj/proj/README", "inner");
    auto before = Snapshot(tree / "w/proj");
    RunReport report;
    RunOptions options;
    options.report = &report;
    SyncFolderTree(tree / "w/proj", tree / "w", options);
    SyncFolderTree(tree / "w/proj", tree / "w/proj/", options);
    EXPECT_EQ(Snapshot(tree / "w/proj"), before);
    EXPECT_EQ(ReadFile(tree / "w/README"), "TOP");
    ASSERT_EQ(report.failures.size(), 2u);
    EXPECT_EQ(report.failures[0].path, tree / "w/proj");
    EXPECT_EQ(report.failures[0].reason, "destination folder is a folder of the source");
    EXPECT_EQ(report.failures[1].path, tree / "w/proj/");
}

// Some file systems (network redirectors, user-mode drivers) give every folder the ID zero: no
// such folder may be taken for one already on the walk, or everything below the top is skipped.
TEST(Faults, FoldersWithoutAnIdentityAreAllWalked) {
    class NoIdentities : public RecordingFileSystem {
    public:
        Folder GetFolder(const std::string& path) override {
            return Unknown(RecordingFileSystem::GetFolder(path));
        }
        Folder GetSubFolder(const Folder& parent, std::string_view name) override {
            return Unknown(RecordingFileSystem::GetSubFolder(parent, name));
        }
        Folder CreateFolder(const std::string& path, std::uint32_t bits, bool& created) override {
            return Unknown(RecordingFileSystem::CreateFolder(path, bits, created));
        }
        Folder CreateSubFolder(const Folder& parent, std::string_view name, std::uint32_t bits,
                               bool& created) override {
            return Unknown(RecordingFileSystem::CreateSubFolder(parent, name, bits, created));
        }

    protected:
        void CloseFolder(std::intptr_t handle) noexcept override { open_.erase(handle); }

    private:
        // The same open folder without its identity; the original stays open behind it.
        Folder Unknown(Folder folder) {
            Folder unknown(*this, folder.Handle(), folder.Path(), {}, folder.Attributes());
            open_.emplace(folder.Handle(), std::move(folder));
            return unknown;
        }
        std::map<std::intptr_t, Folder> open_;
    } fileSystem;
    TempFolder tree;
    WriteOldFile(tree / "src/a/b/deep", "d");
    fs::create_directories(tree / "src/dst/a");
    RunReport report;
    // The destination lies in the source: without identities its path keeps it from copying
    // itself into itself until names grow too long.
    SyncFolderTree(tree / "src", tree / "src/dst", OptionsFor(fileSystem, report));
    EXPECT_EQ(ReadFile(tree / "src/dst/a/b/deep"), "d");
    EXPECT_FALSE(fs::exists(tree / "src/dst/dst"));
    EXPECT_TRUE(report.failures.empty());
}

// A copy is installed only when its source did not change while it was read; a source that
// may still change within the second its copy ended leaves a copy the next run redoes.
TEST(Faults, SourceChangedWhileCopiedIsNeverInstalled) {
    TempFolder tree;
    WriteOldFile(tree / "src/big", "0123456789");
    WriteOldFile(tree / "src/same", "aaaa");
    WriteOldFile(tree / "dst/big", "OLD");
    SetModified(tree / "dst/big", 1'000'000'000);
    RecordingFileSystem fileSystem;
    RunReport report;
    RunOptions options = OptionsFor(fileSystem, report);
    // Truncated and rewritten during the first attempt; rewritten in place with the same size
    // and times during the first attempt, so only its change time tells.
    std::map<std::string, int> rewrites;
    fileSystem.beforeSlice = [&](const std::string& path, std::uint64_t) {
        if (rewrites[path]++ > 0)
            return;
        const Modified before = ModifiedOf(path);
        WriteOldFile(path, path.ends_with("big") ? "new" : "bbbb");
        SetModified(path, before.seconds, before.nanoseconds);
    };
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_EQ(ReadFile(tree / "dst/big"), "new");
    EXPECT_EQ(ReadFile(tree / "dst/same"), "bbbb");
    EXPECT_TRUE(report.failures.empty());
    EXPECT_EQ(report.filesCopied, 2u);

    // Changing during every attempt: the old copy stays and the run says why.
    WriteOldFile(tree / "src/big", "0123456789");
    SetModified(tree / "src/big", 1'900'000'000);
    fileSystem.beforeSlice = [&](const std::string& path, std::uint64_t) {
        WriteOldFile(path, std::to_string(++rewrites[path]));
    };
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_EQ(ReadFile(tree / "dst/big"), "new");
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].path, tree / "src/big");
    EXPECT_EQ(report.failures[0].reason, "changed while being copied");
    EXPECT_FALSE(HasTemporaries(tree / "dst"));

    // Modified in the second the copy ended (by the destination's clock): not current yet.
    constexpr long long kSecond = 1'700'000'000;
    fileSystem.beforeSlice = nullptr;
    fileSystem.factsOf = [&](const File& file, FileFacts& facts) {
        if (file.Path() == tree / "dst/racy")
            facts.changedSeconds = kSecond;
    };
    WriteOldFile(tree / "src/racy", "r");
    SetModified(tree / "src/racy", kSecond, 5);
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_EQ(ModifiedOf(tree / "dst/racy").seconds, kSecond - 1);
    fileSystem.factsOf = nullptr;
    fileSystem.copies.clear();
    SyncFolderTree(tree / "src", tree / "dst", options);
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_EQ(fileSystem.copies, std::vector<std::string>{tree / "src/racy"});
    EXPECT_EQ(ModifiedOf(tree / "dst/racy").seconds, kSecond);
}

// A destination file newer than its source is never replaced, also when it became newer, or
// appeared, after its folder was compared, or in the instant between the copy's last look and
// its install; one that cannot be looked at is a failure, never a missing file.
TEST(Faults, NewerDestinationFilesAreNeverReplaced) {
    TempFolder tree;
    const long long old = ::time(nullptr) - 86'400;
    for (const char* name :
         {"updated", "appeared", "appeared-older", "unreadable", "taken", "taken-older"})
        WriteFileAt(tree / "src/" + name, name, old);
    WriteFileAt(tree / "dst/updated", "older", old - 60);
    WriteFileAt(tree / "dst/unreadable", "kept", old - 60);
    class UnreadableTarget : public RecordingFileSystem {
    public:
        std::function<void(const std::string& target)> beforeInstall;

    private:
        void InstallTemporary(File& temporary, const Folder& to, std::string_view name,
                              bool replace) override {
            beforeInstall(to.PathOf(name));
            RecordingFileSystem::InstallTemporary(temporary, to, name, replace);
        }
        EntryKind LookAt(const Folder& folder, std::string_view name, FileFacts& facts,
                         FolderIdentity& identity) override {
            if (name == "unreadable")
                throw FileSystemError(EIO, folder.PathOf(name));
            return RecordingFileSystem::LookAt(folder, name, facts, identity);
        }
    } fileSystem;
    // Each target changes while its copy is written, after the comparison.
    fileSystem.beforeSlice = [&](const std::string& source, std::uint64_t) {
        const std::string target = tree / "dst/" + fs::path(source).filename().string();
        bool newer = !source.ends_with("older");
        if (!target.ends_with("taken") && !target.ends_with("taken-older"))
            WriteFileAt(target, newer ? "user's" : "stale", newer ? old + 60 : old - 60);
    };
    fileSystem.beforeInstall = [&](const std::string& target) {
        bool newer = !target.ends_with("older");
        if (target.find("taken") != std::string::npos && !fs::exists(target))
            WriteFileAt(target, newer ? "user's" : "stale", newer ? old + 60 : old - 60);
    };
    RunReport report;
    SyncFolderTree(tree / "src", tree / "dst", OptionsFor(fileSystem, report));
    EXPECT_EQ(ReadFile(tree / "dst/updated"), "user's");
    EXPECT_EQ(ReadFile(tree / "dst/appeared"), "user's");
    EXPECT_EQ(ReadFile(tree / "dst/appeared-older"), "appeared-older");
    EXPECT_EQ(ReadFile(tree / "dst/unreadable"), "kept");
    EXPECT_EQ(ReadFile(tree / "dst/taken"), "user's");
    EXPECT_EQ(ReadFile(tree / "dst/taken-older"), "taken-older");
    EXPECT_EQ(report.filesCopied, 2u);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].path, tree / "dst/unreadable");
    EXPECT_EQ(report.failures[0].code, EIO);
}

// A second run into the same destination, whose clean-up of the temporary area runs while the
// first run makes, writes or installs its temporary, takes nothing from the first: neither the
// area it opened (made again at once) nor the temporary, also on a file system without locks.
TEST(Faults, ASecondRunsCleanUpLeavesTheFirstRunsTemporary) {
    TempFolder tree;
    WriteOldFile(tree / "src/file", "new");
    fs::create_directories(tree / "empty");
    class SecondRunMeanwhile : public ForwardingFileSystem {
    public:
        std::function<void()> secondRun;
        int areas = 0;
        int temporaries = 0;
        bool besideTarget = false;  // a temporary made outside the area
        Folder CreateSubFolder(const Folder& parent, std::string_view name,
                               std::uint32_t attributes, bool& created) override {
            Folder folder =
                ForwardingFileSystem::CreateSubFolder(parent, name, attributes, created);
            if (name == kTemporaryArea && ++areas == 1)
                secondRun();
            return folder;
        }
        File CreateTemporary(const Folder& folder, std::string_view name,
                             std::string reportedPath) override {
            File file = ForwardingFileSystem::CreateTemporary(folder, name, reportedPath);
            besideTarget = besideTarget || !folder.Path().ends_with(kTemporaryArea);
            if (++temporaries == 1)
                secondRun();
            return file;
        }
        void InstallTemporary(File& temporary, const Folder& to, std::string_view name,
                              bool replace) override {
            secondRun();
            ForwardingFileSystem::InstallTemporary(temporary, to, name, replace);
        }
    } fileSystem;
    class WithoutLocks : public ForwardingFileSystem {
        bool RemoveUnusedFile(const Folder&, std::string_view) override { return false; }
    } withoutLocks;
    for (FileSystem* second : {&PlatformFileSystem(), static_cast<FileSystem*>(&withoutLocks)}) {
        WriteFileAt(tree / "dst/file", "old", 1'000'000'000);
        RunReport secondReport;
        RunOptions secondOptions;
        secondOptions.fileSystem = second;
        secondOptions.report = &secondReport;
        fileSystem.areas = fileSystem.temporaries = 0;
        fileSystem.secondRun = [&] { SyncFolderTree(tree / "empty", tree / "dst", secondOptions); };
        RunReport report;
        RunOptions options;
        options.fileSystem = &fileSystem;
        options.report = &report;
        SyncFolderTree(tree / "src", tree / "dst", options);
        EXPECT_TRUE(report.failures.empty())
            << report.failures[0].path << ": " << report.failures[0].reason;
        EXPECT_TRUE(secondReport.failures.empty());
        // Unless the layer keeps temporaries beside their targets (Windows).
        EXPECT_EQ(fileSystem.besideTarget, fileSystem.TemporariesInTargetFolder());
        EXPECT_EQ(ReadFile(tree / "dst/file"), "new");
    }
}

// A failure to read names the source, not the copy being written.
TEST(Faults, FailedReadNamesTheSource) {
    TempFolder tree;
    WriteOldFile(tree / "src/unreadable", "12345");
    // The source handed to the copy is open for writing only, so reading it fails.
    class WriteOnlySource : public RecordingFileSystem {
        File OpenFile(const Folder& folder, std::string_view name, FileFacts& facts) override {
            File file = RecordingFileSystem::OpenFile(folder, name, facts);
            return PlatformFileSystem().CreateTemporary(folder, {}, file.Path());
        }
    } fileSystem;
    RunReport report;
    RunOptions options = OptionsFor(fileSystem, report);
    SyncFolderTree(tree / "src", tree / "dst", options);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].path, tree / "src/unreadable") << report.failures[0].reason;
    EXPECT_FALSE(fs::exists(tree / "dst/unreadable"));
}

// A layer that will not write an encrypted file's copy in plain text: the failure says why.
TEST(Faults, EncryptedFileRefusedInPlainTextIsReportedAsSuch) {
    TempFolder tree;
    WriteOldFile(tree / "src/secret", "s");
    class PlainOnly : public RecordingFileSystem {
        std::uint64_t CopyFileData(const File&, const File& to, std::uint64_t,
                                   std::uint64_t) override {
            throw FileSystemError(EACCES, to.Path(), FileSystemError::Refusal::Encrypted);
        }
    } fileSystem;
    RunReport report;
    SyncFolderTree(tree / "src", tree / "dst", OptionsFor(fileSystem, report));
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].kind, FailureKind::Encrypted);
    EXPECT_FALSE(fs::exists(tree / "dst/secret"));
}
