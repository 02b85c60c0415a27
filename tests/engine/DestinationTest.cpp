// SPDX-License-Identifier: GPL-3.0-or-later
// Destinations that are not the machine's own disk: FAT-like times, times lost when a file is
// closed, names that fold together, a drive that is not attached, a full or failing disk. They
// run through the test file system (bench/TestFs.cpp) over FUSE, and through a real exFAT image.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "TestFsMount.h"
#include "TestTree.h"
#include "engine/FileSync.h"

using namespace FileSync;
using test_fs::IsMountPoint;
using test_fs::TestFsMount;

namespace {

constexpr long long kOddSecond = 1'700'000'001;

RunReport Sync(const std::string& source, const std::string& destination,
               FileSystem* fileSystem = nullptr, std::string rememberedFileSystem = {}) {
    RunReport report;
    RunOptions options;
    options.report = &report;
    options.fileSystem = fileSystem;
    options.destinationFileSystem = std::move(rememberedFileSystem);
    SyncFolderTree(source, destination, options);
    return report;
}

std::vector<FailureKind> KindsOf(const RunReport& report) {
    std::vector<FailureKind> kinds;
    for (const auto& failure : report.failures)
        kinds.push_back(failure.kind);
    return kinds;
}

// Lists every folder backwards, so no outcome can rest on the platform's order.
class BackwardsListing final : public ForwardingFileSystem {
public:
    void List(const Folder& folder, FolderListing& listing) override {
        FolderListing forwards;
        ForwardingFileSystem::List(folder, forwards);
        listing.Clear();
        const auto& entries = forwards.Entries();
        for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry)
            listing.Add(forwards.Name(*entry), entry->kind);
    }
};

// Sets times by name to no effect, as a destination that keeps none.
class TimesByNameIgnored final : public ForwardingFileSystem {
public:
    void SetFileTimes(const Folder&, std::string_view, const FileFacts&) override {}
};

// Three files with odd-second times a nanosecond into the second, one in a subfolder.
void WriteOddSecondSource(const TempFolder& tree) {
    for (const char* name : {"src/a", "src/b", "src/sub/c"}) {
        ASSERT_TRUE(WriteFile(tree / name, name));
        SetModified(tree / name, kOddSecond, 1);
    }
}

}  // namespace

// Each kind of coarse or forgetful clock keeps the source's time as well as it can hold it, and
// no later run copies an unchanged file again; a changed one is copied.
TEST(Destinations, TimesHoldAtTheDestinationsStep) {
    const std::vector<std::vector<std::string>> kinds = {
        {"--two-second-times"},
        {"--two-second-times", "--round-up"},
        {"--reset-times-on-close", "--no-locks", "--no-hard-links"},
    };
    const long long kept[] = {kOddSecond - 1, kOddSecond + 1, kOddSecond};
    for (std::size_t kind = 0; kind < kinds.size(); ++kind) {
        SCOPED_TRACE(kinds[kind][0] + (kinds[kind].size() > 1 ? " " + kinds[kind][1] : ""));
        TempFolder tree;
        WriteOddSecondSource(tree);
        TestFsMount mount(tree / "backing", tree / "mnt", kinds[kind]);
        RunReport first = Sync(tree / "src", tree / "mnt/dst");
        EXPECT_EQ(first.filesCopied, 3u);
        EXPECT_TRUE(first.failures.empty());
        for (const char* name : {"a", "b", "sub/c"})
            EXPECT_EQ(ModifiedOf(tree / "mnt/dst/" + name).seconds, kept[kind]) << name;
        for (int run = 2; run <= 3; ++run)
            EXPECT_EQ(Sync(tree / "src", tree / "mnt/dst").filesCopied, 0u) << "run " << run;
        ASSERT_TRUE(WriteFile(tree / "src/b", "changed"));
        SetModified(tree / "src/b", kOddSecond + 2, 1);
        EXPECT_EQ(Sync(tree / "src", tree / "mnt/dst").filesCopied, 1u);
        EXPECT_EQ(ReadFile(tree / "mnt/dst/b"), "changed");
        EXPECT_FALSE(HasTemporaries(tree / "backing"));
    }
}

// FAT keeps local time, read with the day's daylight-saving offset: after a change of season a
// copy reads exactly an hour off. Only there, and only at the same size, is that the same time.
TEST(Destinations, AnHourOffOnFatIsTheSameTimeAtTheSameSize) {
    class LocalTimes final : public ForwardingFileSystem {
    public:
        bool KeepsLocalTimes(const Folder&) override { return true; }
    };
    for (bool fat : {false, true}) {
        SCOPED_TRACE(fat ? "FAT" : "elsewhere");
        TempFolder tree;
        // a: an hour earlier at the same size; b: another size; c: an hour and a second.
        const std::pair<const char*, const char*> copies[] = {{"a", "a"}, {"b", "bb"}, {"c", "c"}};
        for (const auto& [name, held] : copies) {
            ASSERT_TRUE(WriteFile(tree / (std::string("src/") + name), name));
            SetModified(tree / (std::string("src/") + name), kOddSecond);
            ASSERT_TRUE(WriteFile(tree / (std::string("dst/") + name), held));
        }
        SetModified(tree / "dst/a", kOddSecond - 3600);
        SetModified(tree / "dst/b", kOddSecond - 3600);
        SetModified(tree / "dst/c", kOddSecond - 3601);
        LocalTimes localTimes;
        RunReport report = Sync(tree / "src", tree / "dst", fat ? &localTimes : nullptr);
        EXPECT_EQ(report.filesCopied, fat ? 2u : 3u);
        EXPECT_EQ(ModifiedOf(tree / "dst/a").seconds, fat ? kOddSecond - 3600 : kOddSecond);
        EXPECT_EQ(ReadFile(tree / "dst/b"), "b");
    }
}

// Where a time set again through the name does not hold either, the run says so once.
TEST(Destinations, TimesThatDoNotHoldAreOneFailurePerRun) {
    TempFolder tree;
    WriteOddSecondSource(tree);
    TestFsMount mount(tree / "backing", tree / "mnt", {"--reset-times-on-close"});
    TimesByNameIgnored fileSystem;
    RunReport report = Sync(tree / "src", tree / "mnt/dst", &fileSystem);
    EXPECT_EQ(report.filesCopied, 3u);
    EXPECT_EQ(KindsOf(report), std::vector<FailureKind>{FailureKind::TimesNotKept});
}

// Two source names that fold together never overwrite each other on a destination that folds
// case: the first in byte order is backed up, the other is reported with it, on every run and
// whatever the listing order. Folders that fold together are handled the same way.
TEST(Destinations, NamesThatFoldTogetherKeepTheFirstInByteOrder) {
    TempFolder tree;
    WriteOldFile(tree / "src/Notes.txt", "upper");
    WriteOldFile(tree / "src/notes.txt", "lower, longer");
    WriteOldFile(tree / "src/Docs/in", "upper");
    WriteOldFile(tree / "src/docs/in", "lower");
    WriteOldFile(tree / "src/new/Same", "upper");
    WriteOldFile(tree / "src/new/same", "lower");
    TestFsMount mount(tree / "backing", tree / "mnt", {"--fold-case"});
    BackwardsListing backwards;
    std::vector<std::string> first;
    FileSystem* platform = nullptr;
    for (FileSystem* fileSystem : {platform, static_cast<FileSystem*>(&backwards), platform}) {
        // The whole-folder copy of "new" on the first run, the walk after it.
        fs::remove_all(tree / "mnt/dst/new");
        RunReport report = Sync(tree / "src", tree / "mnt/dst", fileSystem);
        std::vector<std::string> failures;
        for (const auto& failure : report.failures) {
            EXPECT_EQ(failure.kind, FailureKind::NamesFoldTogether);
            failures.push_back(failure.path + " <> " + failure.other);
        }
        std::sort(failures.begin(), failures.end());
        EXPECT_EQ(failures, (std::vector<std::string>{tree / "src/docs <> Docs",
                                                      tree / "src/new/same <> Same",
                                                      tree / "src/notes.txt <> Notes.txt"}));
        EXPECT_EQ(ReadFile(tree / "mnt/dst/notes.txt"), "upper");
        EXPECT_EQ(ReadFile(tree / "mnt/dst/DOCS/in"), "upper");
        EXPECT_EQ(ReadFile(tree / "mnt/dst/new/same"), "upper");
        if (first.empty())
            first = Snapshot(tree / "backing/dst");
        EXPECT_EQ(Snapshot(tree / "backing/dst"), first);
    }
}

// A backup drive that is not attached leaves its empty mount point empty; the first run into a
// new destination, and a run that remembers the file system found there, still make it.
TEST(Destinations, DetachedDriveIsNeverFilled) {
    TempFolder tree;
    WriteOldFile(tree / "src/a", "a");
    std::string drive;
    {
        TestFsMount mount(tree / "backing", tree / "usb", {});
        RunReport made = Sync(tree / "src", tree / "usb/backup");
        EXPECT_EQ(made.filesCopied, 1u);
        drive = made.destinationFileSystem;
        EXPECT_FALSE(drive.empty());
        EXPECT_EQ(Sync(tree / "src", tree / "usb/backup", nullptr, drive).destinationFileSystem,
                  drive);
        fs::remove_all(tree / "usb/backup");
        EXPECT_EQ(Sync(tree / "src", tree / "usb/backup", nullptr, drive).filesCopied, 1u);
    }
    RunReport detached = Sync(tree / "src", tree / "usb/backup", nullptr, drive);
    EXPECT_EQ(KindsOf(detached), std::vector<FailureKind>{FailureKind::DriveNotAttached});
    EXPECT_NE(detached.destinationFileSystem, drive);
    EXPECT_TRUE(fs::is_empty(tree / "usb"));
    // Told to take the file system found, the run makes the destination there.
    RunReport accepted =
        Sync(tree / "src", tree / "usb/backup", nullptr, detached.destinationFileSystem);
    EXPECT_EQ(accepted.filesCopied, 1u);
    EXPECT_EQ(accepted.destinationFileSystem, detached.destinationFileSystem);
}

// A full disk and a failing file are reported by the system's code; the rest is copied and no
// part of a copy is left behind.
TEST(Destinations, FullAndFailingDisksLeaveNoPartialCopies) {
    TempFolder tree;
    WriteOldFile(tree / "src/small", "tiny");
    WriteOldFile(tree / "src/large", std::string(std::size_t{64} * 1024, 'x'));
    WriteOldFile(tree / "src/broken", "never");
    TestFsMount mount(tree / "backing", tree / "mnt",
                      {"--space-bytes", "1000", "--fail-path", "/dst/broken"});
    fs::create_directories(tree / "mnt/dst");
    RunReport report = Sync(tree / "src", tree / "mnt/dst");
    std::vector<std::string> failures;
    for (const auto& failure : report.failures)
        failures.push_back(fs::path(failure.path).filename().string() + " " +
                           std::to_string(failure.code));
    std::sort(failures.begin(), failures.end());
    EXPECT_EQ(failures, (std::vector<std::string>{"broken " + std::to_string(EIO),
                                                  "large " + std::to_string(ENOSPC)}));
    EXPECT_EQ(ReadFile(tree / "mnt/dst/small"), "tiny");
    EXPECT_FALSE(fs::exists(tree / "backing/dst/large"));
    EXPECT_FALSE(HasTemporaries(tree / "backing"));
}

namespace {

// An exFAT image made with mkfs.exfat, on a loop device, mounted through exfat-fuse as a USB
// stick is; taken down however the test ends.
class ExfatStick {
public:
    ExfatStick(const std::string& image, const std::string& mountpoint) : mountpoint_(mountpoint) {
        fs::create_directories(mountpoint);
        const std::string make = "truncate -s 8M " + image + " && mkfs.exfat " + image;
        if (std::system((make + " >/dev/null").c_str()) != 0)
            return;
        char device[64] = {};
        if (FILE* losetup = ::popen(("losetup -f --show " + image).c_str(), "r")) {
            if (std::fgets(device, sizeof device, losetup))
                loop_ = std::string(device).substr(0, std::string(device).find('\n'));
            ::pclose(losetup);
        }
        mounted_ = !loop_.empty() &&
                   std::system(("mount.exfat-fuse " + loop_ + " " + mountpoint).c_str()) == 0;
    }
    ~ExfatStick() {
        if (mounted_)
            std::system(("umount " + mountpoint_).c_str());
        if (!loop_.empty())
            std::system(("losetup -d " + loop_).c_str());
    }
    ExfatStick(const ExfatStick&) = delete;
    ExfatStick& operator=(const ExfatStick&) = delete;
    bool Mounted() const { return mounted_; }

private:
    std::string mountpoint_;
    std::string loop_;
    bool mounted_ = false;
};

}  // namespace

// The real thing. Needs root for the loop device.
TEST(Destinations, ExfatKeepsTimesAndNamesThatFoldTogether) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a loop device needs root";
    TempFolder tree;
    WriteOddSecondSource(tree);
    WriteOldFile(tree / "src/Notes.txt", "upper");
    WriteOldFile(tree / "src/notes.txt", "lower");
    ExfatStick stick(tree / "exfat.img", tree / "stick");
    ASSERT_TRUE(stick.Mounted()) << "exfatprogs and exfat-fuse are needed";
    for (int run = 0; run < 3; ++run) {
        RunReport report = Sync(tree / "src", tree / "stick/dst");
        EXPECT_EQ(report.filesCopied, run == 0 ? 4u : 0u) << "run " << run;
        ASSERT_EQ(report.failures.size(), 1u);
        EXPECT_EQ(report.failures[0].path, tree / "src/notes.txt");
        EXPECT_EQ(report.failures[0].other, "Notes.txt");
    }
    EXPECT_EQ(ModifiedOf(tree / "stick/dst/sub/c").seconds, kOddSecond);
    EXPECT_EQ(ReadFile(tree / "stick/dst/notes.txt"), "upper");
}
