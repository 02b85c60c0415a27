// Faults a run must survive: failed copies, FIFOs, link cycles, a destination inside the
// source, and temporaries left by a killed run.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FileSync.h"
#include "TestTree.h"

using namespace FileSync;

namespace {

bool HasTemporaries(const std::string& root) {
    for (auto& entry : fs::recursive_directory_iterator(root))
        if (entry.path().filename().string().starts_with(".tavrick-partial-"))
            return true;
    return false;
}

pid_t DeadProcessId() {
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

}  // namespace

TEST(Faults, ThirdOfFiveCopiesFailsAndTheOthersAreStillMade) {
    TempFolder tree;
    for (int i = 1; i <= 5; ++i)
        WriteFile(tree / "src/f" + std::to_string(i), "data");
    fs::create_directories(tree / "dst");
    RecordingFileSystem fileSystem;
    fileSystem.failCopy = [](int number, const std::string&) { return number == 3; };
    RunReport report;
    RunOptions options;
    options.fileSystem = &fileSystem;
    options.report = &report;

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
        WriteFile(tree / "src/" + name, name);
    WriteFile(tree / "src/sub/e", "e");
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
    fileSystem.failCopy = [&](int, const std::string& path) { return path.ends_with("/c"); };
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

TEST(Faults, FifosSocketsAndDanglingLinksAreSkippedWithoutHanging) {
    TempFolder tree;
    WriteFile(tree / "src/before", "1");
    WriteFile(tree / "src/sub/after", "2");
    ASSERT_EQ(::mkfifo((tree / "src/pipe").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((tree / "src/sub/pipe").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("pipe", (tree / "src/link-to-pipe").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (tree / "src/dangling").c_str()), 0);
    RunReport report;
    RunOptions options;
    options.report = &report;
    SyncFolderTree(tree / "src", tree / "dst", options);  // whole copy
    fs::create_directories(tree / "walked/sub");
    SyncFolderTree(tree / "src", tree / "walked", options);  // walk
    for (const char* root : {"dst", "walked"}) {
        EXPECT_EQ(ReadFile(tree / root + "/before"), "1");
        EXPECT_EQ(ReadFile(tree / root + "/sub/after"), "2");
        EXPECT_FALSE(fs::exists(fs::symlink_status(tree / root + "/pipe")));
        EXPECT_FALSE(fs::exists(fs::symlink_status(tree / root + "/dangling")));
    }
    EXPECT_TRUE(report.failures.empty());
}

TEST(Faults, LinkCyclesEndAndOtherLinksAreFollowed) {
    TempFolder tree;
    WriteFile(tree / "src/a/file", "a");
    WriteFile(tree / "src/other/file", "o");
    ASSERT_EQ(::symlink("../..", (tree / "src/a/up").c_str()), 0);
    ASSERT_EQ(::symlink("..", (tree / "src/a/self-parent").c_str()), 0);
    ASSERT_EQ(::symlink("../other", (tree / "src/a/sideways").c_str()), 0);

    SyncFolderTree(tree / "src", tree / "dst");  // whole copy
    EXPECT_TRUE(fs::exists(tree / "dst/a/file"));
    EXPECT_EQ(ReadFile(tree / "dst/a/sideways/file"), "o");
    EXPECT_FALSE(fs::exists(tree / "dst/a/self-parent"));

    WriteFile(tree / "src/other/new", "n");
    SyncFolderTree(tree / "src", tree / "dst");  // walk
    EXPECT_EQ(ReadFile(tree / "dst/a/sideways/new"), "n");
    EXPECT_FALSE(fs::exists(tree / "dst/a/self-parent"));
    EXPECT_LT(std::distance(fs::recursive_directory_iterator(tree / "dst"),
                            fs::recursive_directory_iterator()),
              20);
}

TEST(Faults, DestinationInsideTheSourceIsNotCopiedIntoItself) {
    TempFolder tree;
    WriteFile(tree / "src/file", "f");
    WriteFile(tree / "src/sub/inner", "i");
    std::string backup = tree / "src/sub/backup";
    SyncFolderTree(tree / "src", backup);  // whole copy
    WriteFile(tree / "src/later", "l");
    SyncFolderTree(tree / "src/", backup);  // walk
    EXPECT_EQ(ReadFile(backup + "/later"), "l");
    EXPECT_EQ(ReadFile(backup + "/sub/inner"), "i");
    EXPECT_FALSE(fs::exists(backup + "/sub/backup"));
}

// Replacing copies write their temporaries in one folder at the destination's top.
TEST(Faults, StaleTemporariesAreRemovedAndNothingElse) {
    TempFolder tree;
    WriteFile(tree / "src/file", "f");
    std::string dead = ".tavrick-partial-" + std::to_string(DeadProcessId()) + "-7";
    std::string live = ".tavrick-partial-" + std::to_string(::getppid()) + "-7";
    const std::string area = tree / "dst/.tavrick-partial-copies/";
    WriteFile(area + dead, "half");
    WriteFile(area + live, "being written");
    WriteFile(area + ".tavrick-partial-notes", "user's");
    WriteFile(tree / "dst/" + dead, "a destination file outside the area is the user's");
    WriteFile(tree / "src/" + dead, "a source file is never touched");
    SyncFolderTree(tree / "src", tree / "dst");
    EXPECT_FALSE(fs::exists(area + dead));
    EXPECT_TRUE(fs::exists(area + live));
    EXPECT_TRUE(fs::exists(area + ".tavrick-partial-notes"));
    EXPECT_TRUE(fs::exists(tree / "dst/" + dead));
    EXPECT_TRUE(fs::exists(tree / "src/" + dead));
    EXPECT_EQ(ReadFile(tree / "dst/file"), "f");

    // Once only stale temporaries are left, the area goes with them.
    fs::remove(area + live);
    fs::remove(area + ".tavrick-partial-notes");
    WriteFile(area + dead, "half");
    SyncFolderTree(tree / "src", tree / "dst");
    EXPECT_FALSE(fs::exists(tree / "dst/.tavrick-partial-copies"));
}
