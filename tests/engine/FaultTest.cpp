// Faults a run must survive: failed copies, FIFOs, link cycles, a destination inside the
// source, and temporaries left by a killed run.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "FileSync.h"
#include "TestTree.h"

using namespace FileSync;

namespace {

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

TEST(Faults, DestinationAndSourceInsideEachOtherAreNeverWrittenThrough) {
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

    // The mirror image: the destination holds the source, which holds a folder of the
    // destination's name. Its files must not be written over their own source.
    WriteFile(tree / "w/proj/README", "TOP");
    SetModified(tree / "w/proj/README", 1'500'000'000);
    WriteFile(tree / "w/proj/proj/README", "inner");
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

// Replacing copies write their temporaries in one folder at the destination's top. Only what
// the engine made there, and no copy is still writing, is ever removed; a user's file of the
// same pattern anywhere else is data like any other.
TEST(Faults, StaleTemporariesAreRemovedAndNothingElse) {
    TempFolder tree;
    WriteFile(tree / "src/file", "f");
    std::string dead = ".tavrick-partial-" + std::to_string(DeadProcessId()) + "-7";
    const std::string area = tree / "dst/.tavrick-partial-copies/";
    WriteFile(area + dead, "half");
    WriteFile(area + ".tavrick-partial-notes", "user's");
    WriteFile(tree / "dst/" + dead, "a destination file outside the area is the user's");
    WriteFile(tree / "src/" + dead, "a source file like a temporary is backed up");
    WriteFile(tree / "src/sub/" + dead, "in a subfolder too");
    auto& platform = PlatformFileSystem();
    Folder areaFolder = platform.GetFolder(area);
    File live = platform.CreateTemporary(areaFolder, ".tavrick-partial-0123456789abcdef", area);
    // A destination subfolder on another device keeps its temporaries beside the target.
    std::string pattern = "/dev/shm/tavrick-test-XXXXXX";
    bool otherDevice = fs::is_directory("/dev/shm") && ::mkdtemp(pattern.data()) != nullptr;
    if (otherDevice) {
        WriteFile(pattern + "/" + dead, "the user's, on another mount");
        fs::create_directories(tree / "src/mounted");
        fs::create_symlink(pattern, tree / "dst/mounted");
    }
    RunReport report;
    RunOptions options;
    options.report = &report;
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_FALSE(fs::exists(area + dead));
    EXPECT_TRUE(fs::exists(area + ".tavrick-partial-0123456789abcdef"));
    EXPECT_TRUE(fs::exists(area + ".tavrick-partial-notes"));
    EXPECT_TRUE(fs::exists(tree / "dst/" + dead));
    EXPECT_EQ(ReadFile(tree / "dst/sub/" + dead), "in a subfolder too");
    EXPECT_EQ(ReadFile(tree / "dst/file"), "f");
    EXPECT_EQ(report.filesCopied, 3u);
    if (otherDevice) {
        EXPECT_EQ(ReadFile(pattern + "/" + dead), "the user's, on another mount");
        fs::remove_all(pattern);
    }

    // Once only temporaries no copy writes are left, the area goes with them.
    live = File();
    fs::remove(area + ".tavrick-partial-notes");
    WriteFile(area + dead, "half");
    SyncFolderTree(tree / "src", tree / "dst");
    EXPECT_FALSE(fs::exists(tree / "dst/.tavrick-partial-copies"));
}

// A copy is installed only when its source did not change while it was read; a source that
// may still change within the second its copy ended leaves a copy the next run redoes.
TEST(Faults, SourceChangedWhileCopiedIsNeverInstalled) {
    TempFolder tree;
    WriteFile(tree / "src/big", "0123456789");
    WriteFile(tree / "src/same", "aaaa");
    WriteFile(tree / "dst/big", "OLD");
    SetModified(tree / "dst/big", 1'000'000'000);
    RecordingFileSystem fileSystem;
    RunReport report;
    RunOptions options;
    options.fileSystem = &fileSystem;
    options.report = &report;
    // Truncated and rewritten during the first attempt; rewritten in place with the same size
    // and times during the first attempt, so only its change time tells.
    std::map<std::string, int> rewrites;
    fileSystem.beforeSlice = [&](const std::string& path, std::uint64_t) {
        if (rewrites[path]++ > 0)
            return;
        struct stat status = StatOf(path);
        WriteFile(path, path.ends_with("big") ? "new" : "bbbb");
        SetModified(path, status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
    };
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_EQ(ReadFile(tree / "dst/big"), "new");
    EXPECT_EQ(ReadFile(tree / "dst/same"), "bbbb");
    EXPECT_TRUE(report.failures.empty());
    EXPECT_EQ(report.filesCopied, 2u);

    // Changing during every attempt: the old copy stays and the run says why.
    WriteFile(tree / "src/big", "0123456789");
    SetModified(tree / "src/big", 1'900'000'000);
    fileSystem.beforeSlice = [&](const std::string& path, std::uint64_t) {
        WriteFile(path, std::to_string(++rewrites[path]));
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
    WriteFile(tree / "src/racy", "r");
    SetModified(tree / "src/racy", kSecond, 5);
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_EQ(StatOf(tree / "dst/racy").st_mtim.tv_sec, kSecond - 1);
    fileSystem.factsOf = nullptr;
    fileSystem.copies.clear();
    SyncFolderTree(tree / "src", tree / "dst", options);
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_EQ(fileSystem.copies, std::vector<std::string>{tree / "src/racy"});
    EXPECT_EQ(StatOf(tree / "dst/racy").st_mtim.tv_sec, kSecond);
}

// A failure to read names the source, not the copy being written.
TEST(Faults, FailedReadNamesTheSource) {
    TempFolder tree;
    WriteFile(tree / "src/unreadable", "12345");
    // The source handed to the copy is open for writing only, so reading it fails.
    class WriteOnlySource : public RecordingFileSystem {
        File OpenFile(const Folder& folder, std::string_view name, FileFacts& facts) override {
            File file = RecordingFileSystem::OpenFile(folder, name, facts);
            return PlatformFileSystem().CreateTemporary(folder, {}, file.Path());
        }
    } fileSystem;
    RunReport report;
    RunOptions options;
    options.fileSystem = &fileSystem;
    options.report = &report;
    SyncFolderTree(tree / "src", tree / "dst", options);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].path, tree / "src/unreadable");
    EXPECT_FALSE(fs::exists(tree / "dst/unreadable"));
}
