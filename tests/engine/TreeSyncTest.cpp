// SPDX-License-Identifier: GPL-3.0-or-later
// The tree walk: whole-folder copies, depth-first order, what is never touched, and paths.

#include <algorithm>

#include "FileSync.h"
#include "TestTree.h"

using namespace FileSync;

namespace {

std::ptrdiff_t Position(const std::vector<std::string>& list, const std::string& item) {
    auto found = std::find(list.begin(), list.end(), item);
    EXPECT_NE(found, list.end()) << item;
    return found - list.begin();
}

}  // namespace

TEST(TreeSync, NewSubfolderIsCopiedWholeAndOwnFilesComeFirst) {
    TempFolder tree;
    WriteOldFile(tree / "src/f1", "1");
    WriteOldFile(tree / "src/a/f2", "2");
    WriteOldFile(tree / "src/a/x/f3", "3");
    WriteOldFile(tree / "src/b/f4", "4");
    WriteOldFile(tree / "src/new/n/f5", "5");
    fs::create_directories(tree / "dst/a/x");
    fs::create_directories(tree / "dst/b");

    RecordingFileSystem fileSystem;
    RunReport report;
    RunOptions options = OptionsFor(fileSystem, report);
    int yields = 0;
    int progressCalls = 0;
    options.yield = [&] { ++yields; };
    options.progress = [&](const RunReport&) { ++progressCalls; };
    SyncFolderTree(tree / "src", tree / "dst", options);

    EXPECT_EQ(Snapshot(tree / "dst"), Snapshot(tree / "src"));
    const auto& copies = fileSystem.copies;
    ASSERT_EQ(copies.size(), 5u);
    EXPECT_EQ(copies[0], tree / "src/f1");
    EXPECT_LT(Position(copies, tree / "src/a/f2"), Position(copies, tree / "src/a/x/f3"));
    // Each subfolder's subtree is done before the next subfolder starts.
    auto a = Position(copies, tree / "src/a/f2");
    auto b = Position(copies, tree / "src/b/f4");
    EXPECT_TRUE(b < a || b > Position(copies, tree / "src/a/x/f3"));
    // The new subfolder was not compared: its file was looked at once, by its copy's last look
    // before the install, and not first by a comparison.
    EXPECT_EQ(
        std::count(fileSystem.lookedAt.begin(), fileSystem.lookedAt.end(), tree / "dst/new/n/f5"),
        1);
    EXPECT_EQ(report.filesCompared, 5u);
    // A yield after each file row and each source subfolder (plus each file and subfolder of
    // the whole copy); progress after each file.
    EXPECT_EQ(progressCalls, 5);
    EXPECT_EQ(yields, 5 + 3 + 1 + 1);
}

TEST(TreeSync, SourceAndDestinationOnlyEntriesAreNeverTouched) {
    TempFolder tree;
    WriteOldFile(tree / "src/same", "same");
    WriteOldFile(tree / "src/older", "old source");
    WriteOldFile(tree / "src/sub/file", "s");
    WriteOldFile(tree / "dst/older", "newer destination");
    WriteOldFile(tree / "dst/only-in-destination", "keep me");
    WriteOldFile(tree / "dst/extra/inner", "keep me too");
    WriteOldFile(tree / "dst/sub/mine", "mine");
    SetModified(tree / "src/older", 1'500'000'000);
    SetModified(tree / "dst/older", 1'600'000'000);
    SyncFolderTree(tree / "src", tree / "dst");
    auto sourceBefore = Snapshot(tree / "src");
    auto destinationBefore = Snapshot(tree / "dst");

    // Changed again, in every way a run could wrongly reach into.
    SyncFolderTree(tree / "src/", tree / "dst/");
    EXPECT_EQ(Snapshot(tree / "src"), sourceBefore);
    EXPECT_EQ(Snapshot(tree / "dst"), destinationBefore);
    EXPECT_EQ(ReadFile(tree / "dst/older"), "newer destination");
    EXPECT_EQ(ReadFile(tree / "dst/only-in-destination"), "keep me");
    EXPECT_EQ(ReadFile(tree / "dst/extra/inner"), "keep me too");
    EXPECT_EQ(ReadFile(tree / "dst/sub/mine"), "mine");
    EXPECT_EQ(ReadFile(tree / "dst/sub/file"), "s");
}

TEST(TreeSync, TrailingSeparatorsGiveTheSameResult) {
    TempFolder tree;
    WriteOldFile(tree / "src/f", "f");
    WriteOldFile(tree / "src/d/g", "g");
    WriteOldFile(tree / "src/d/e/h", "h");
    for (const char* name : {"plain", "trailing", "mixed"})
        fs::create_directories(tree / name + "/d");
    SyncFolderTree(tree / "src", tree / "plain");
    SyncFolderTree(tree / "src/", tree / "trailing/");
    SyncFolderTree(tree / "src//", tree / "mixed");
    SyncFolderTree(tree / "src", tree / "new/");
    auto expected = Snapshot(tree / "src");
    for (const char* name : {"plain", "trailing", "mixed", "new"})
        EXPECT_EQ(Snapshot(tree / name), expected) << name;
}

TEST(TreeSync, MissingSourceOrEmptyPathChangesNothing) {
    TempFolder tree;
    WriteOldFile(tree / "dst/file", "x");
    WriteOldFile(tree / "src/file", "y");
    auto before = Snapshot(tree.Path());

    // An empty path must not mean the working folder.
    const fs::path workingFolder = fs::current_path();
    fs::current_path(tree / "src");
    RunReport report;
    RunOptions options;
    options.report = &report;
    SyncFolderTree(tree / "absent", tree / "dst", options);
    SyncFolderTree("", tree / "dst", options);
    SyncFolderTree(tree / "src", "", options);
    SyncFolderTree("", "", options);
    fs::current_path(workingFolder);

    EXPECT_EQ(Snapshot(tree.Path()), before);
    EXPECT_FALSE(fs::exists(tree / "absent"));
    ASSERT_EQ(report.failures.size(), 4u);
    EXPECT_EQ(report.failures[0].path, tree / "absent");
    EXPECT_EQ(report.failures[0].reason, "No such file or directory");
    EXPECT_EQ(report.filesCopied, 0u);
}

TEST(TreeSync, YieldHookMayNestARunOrStopTheRun) {
    TempFolder tree;
    for (int i = 0; i < 4; ++i)
        WriteOldFile(tree / "src/d/f" + std::to_string(i), "data");
    WriteOldFile(tree / "src/e/g", "g");
    fs::create_directories(tree / "dst");
    bool nested = false;
    RunOptions options;
    options.yield = [&] {
        if (!nested) {
            nested = true;
            SyncFolderTree(tree / "src", tree / "dst");
        }
    };
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_EQ(Snapshot(tree / "dst"), Snapshot(tree / "src"));

    // Asked to stop after the second copy, both in a walk and in a whole-folder copy: nothing
    // more is started, what was copied is synced, and the stop is no failure.
    for (const char* destination : {"walked", "whole"}) {
        fs::create_directories(tree / "walked/d");
        RecordingFileSystem fileSystem;
        RunReport report;
        RunOptions stopping = OptionsFor(fileSystem, report);
        stopping.stopRequested = [&] { return fileSystem.copies.size() >= 2; };
        SyncFolderTree(tree / "src", tree / destination, stopping);
        EXPECT_EQ(fileSystem.copies.size(), 2u) << destination;
        EXPECT_EQ(report.filesCopied, 2u);
        EXPECT_EQ(fileSystem.syncs, 1);
        EXPECT_TRUE(report.failures.empty());
        auto files = Snapshot(tree / destination);
        EXPECT_EQ(
            std::count_if(files.begin(), files.end(),
                          [](const std::string& line) { return line.find(" = ") != line.npos; }),
            2);
    }
}

// A large file is copied in slices with a yield between them. A run nested in such a yield, or
// a stop asked for there, leaves the copy in progress alone: its temporary is its own.
TEST(TreeSync, LargeFileIsCopiedInSlicesThatYield) {
    TempFolder tree;
    std::string contents(64 << 10, 'x');
    WriteOldFile(tree / "src/big", contents);
    WriteOldFile(tree / "dst/big", "old");
    SetModified(tree / "dst/big", 1'000'000'000);
    RecordingFileSystem fileSystem;
    fileSystem.sliceLimit = 4 << 10;
    RunReport report;
    RunOptions options = OptionsFor(fileSystem, report);
    int yields = 0;
    options.yield = [&] {
        if (++yields == 3)
            SyncFolderTree(tree / "src", tree / "dst");
    };
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_EQ(yields, 16);  // between the 16 slices, and after the row
    EXPECT_TRUE(report.failures.empty());
    EXPECT_EQ(report.filesCopied, 0u);  // the nested run's copy is as new: it stays
    EXPECT_TRUE(ReadFile(tree / "dst/big") == contents);
    EXPECT_FALSE(HasTemporaries(tree / "dst"));

    WriteOldFile(tree / "dst/big", "old");
    SetModified(tree / "dst/big", 1'000'000'000);
    yields = 0;
    options.yield = [&] { ++yields; };
    options.stopRequested = [&] { return yields == 3; };
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_EQ(ReadFile(tree / "dst/big"), "old");
    EXPECT_EQ(report.filesCopied, 0u);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_FALSE(HasTemporaries(tree / "dst"));
}

// A replacing copy's temporary is made in the destination top's area, or, where the layer asks
// for it (a moved file keeps the security it was made with on NTFS), in the folder it goes to.
TEST(TreeSync, TemporariesAreMadeWhereTheLayerWantsThem) {
    class Placing : public RecordingFileSystem {
    public:
        bool inTarget = false;
        std::vector<std::string> madeIn;
        bool TemporariesInTargetFolder() const override { return inTarget; }
        FileSync::File CreateTemporary(const Folder& folder, std::string_view name,
                                       std::string path) override {
            madeIn.push_back(folder.Path());
            return RecordingFileSystem::CreateTemporary(folder, name, std::move(path));
        }
    };
    for (bool inTarget : {false, true}) {
        TempFolder tree;
        WriteOldFile(tree / "src/sub/file", "new");
        WriteOldFile(tree / "dst/sub/file", "old");
        SetModified(tree / "dst/sub/file", 1'000'000'000);
        Placing fileSystem;
        fileSystem.inTarget = inTarget;
        RunReport report;
        SyncFolderTree(tree / "src", tree / "dst", OptionsFor(fileSystem, report));
        EXPECT_EQ(ReadFile(tree / "dst/sub/file"), "new");
        ASSERT_FALSE(fileSystem.madeIn.empty());
        EXPECT_EQ(fileSystem.madeIn.back(),
                  inTarget ? tree / "dst/sub" : tree / "dst/.tavrick-partial-copies");
    }
}
