// SPDX-License-Identifier: GPL-3.0-or-later
// Engine cases that need POSIX: permission bits, FIFOs, symbolic links, other mounts and
// processes. The other behaviour tests run on every platform.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "FileSync.h"
#include "TestTree.h"

using namespace FileSync;

namespace {

constexpr long long kTime = 1'600'000'000;

struct Side {
    long long seconds;
    long nanoseconds;
    std::string contents;
    mode_t mode;
};

struct Case {
    const char* what;
    Side source;
    Side destination;
    std::int32_t status;
    bool copied;
};

const Case kCases[] = {
    {"all equal", {kTime, 0, "abc", 0644}, {kTime, 0, "abc", 0644}, 0, false},
    {"same whole second", {kTime, 900'000'000, "abc", 0644}, {kTime, 100, "abc", 0644}, 0, false},
    {"destination a second newer", {kTime, 0, "abc", 0644}, {kTime + 1, 0, "abc", 0644}, 2, false},
    {"source a second newer",
     {kTime + 1, 0, "abc", 0644},
     {kTime, 999'999'999, "abc", 0644},
     1,
     true},
    {"source newer, other size", {kTime + 5, 0, "abcd", 0644}, {kTime, 0, "abc", 0644}, 5, true},
    {"source newer, other mode", {kTime + 5, 0, "abc", 0600}, {kTime, 0, "abc", 0644}, 9, true},
    {"destination newer, other size and mode",
     {kTime, 0, "abcd", 0600},
     {kTime + 9, 0, "abc", 0644},
     14,
     false},
    {"destination newer, other size",
     {kTime, 0, "abcd", 0644},
     {kTime + 9, 0, "ab", 0644},
     6,
     false},
    {"mode only", {kTime, 0, "abc", 0755}, {kTime, 0, "abc", 0644}, 8, false},
    {"same time, other size", {kTime, 0, "abcd", 0644}, {kTime, 0, "abc", 0644}, 4, true},
    {"same time, other size and mode", {kTime, 0, "abcd", 0600}, {kTime, 0, "abc", 0644}, 12, true},
    {"same time, smaller source", {kTime, 0, "ab", 0644}, {kTime, 0, "abc", 0644}, 4, true},
};

void Put(const std::string& path, const Side& side) {
    WriteOldFile(path, side.contents);
    ::chmod(path.c_str(), side.mode);
    SetModified(path, side.seconds, side.nanoseconds);
}

pid_t DeadProcessId() {
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

}  // namespace

TEST(Comparison, StatusCodesAndCopyDecisions) {
    TempFolder tree;
    int number = 0;
    for (const Case& c : kCases) {
        std::string name = "f" + std::to_string(number++);
        Put(tree / "src/" + name, c.source);
        Put(tree / "dst/" + name, c.destination);
    }
    WriteOldFile(tree / "src/missing", "new");

    ComparisonTable table = CompareFolderFiles(tree / "src", tree / "dst");
    ASSERT_EQ(table.size(), std::size(kCases) + 1);
    for (const ComparisonRow& row : table) {
        if (row.name == "missing") {
            EXPECT_EQ(row.status, OnlyInSource);
            continue;
        }
        const Case& c = kCases[std::stoi(row.name.substr(1))];
        EXPECT_EQ(row.status, c.status) << c.what;
    }

    SyncFolderFiles(tree / "src", tree / "dst");
    EXPECT_EQ(ReadFile(tree / "dst/missing"), "new");
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const Case& c = kCases[i];
        std::string name = "f" + std::to_string(i);
        const Side& expected = c.copied ? c.source : c.destination;
        struct stat status = StatOf(tree / "dst/" + name);
        EXPECT_EQ(ReadFile(tree / "dst/" + name), expected.contents) << c.what;
        EXPECT_EQ(status.st_mode & 07777, expected.mode) << c.what;
        EXPECT_EQ(status.st_mtim.tv_sec, expected.seconds) << c.what;
    }
    // Once copied, a pair compares equal or differs in a way that causes no copy.
    for (const ComparisonRow& row : CompareFolderFiles(tree / "src", tree / "dst"))
        EXPECT_TRUE(row.status == 0 || (row.status & 3) == DestinationNewer || row.status == 8)
            << row.name << " " << row.status;
}

TEST(Comparison, RowsAreTheSourceFilesPairedByExactName) {
    TempFolder tree;
    WriteOldFile(tree / "src/A.txt", "a");
    WriteOldFile(tree / "src/sub/deep.txt", "deep");
    WriteOldFile(tree / "dst/a.txt", "a");
    WriteOldFile(tree / "dst/only-here.txt", "x");
    WriteOldFile(tree / "dst/sub/deep.txt", "deep");
    ASSERT_EQ(::mkfifo((tree / "src/pipe").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("nowhere", (tree / "src/dangling").c_str()), 0);
    // Links are the walk's to decide on, not a level's files.
    ASSERT_EQ(::symlink("A.txt", (tree / "src/link.txt").c_str()), 0);

    ComparisonTable table = CompareFolderFiles(tree / "src", tree / "dst");
    std::vector<std::string> names;
    for (const ComparisonRow& row : table) {
        names.push_back(row.name);
        EXPECT_EQ(row.status, OnlyInSource) << row.name;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"A.txt"}));
}

TEST(TreeSync, MissingDestinationIsCopiedWholeKeepingModesAndNanosecondTimes) {
    TempFolder tree;
    WriteOldFile(tree / "src/top.txt", "top");
    WriteOldFile(tree / "src/a/b/deep.txt", "deep");
    WriteOldFile(tree / "src/a/readonly.txt", "ro");
    WriteOldFile(tree / "src/.hidden", "h");
    fs::create_directories(tree / "src/empty");
    SetModified(tree / "src/a/b/deep.txt", 1'234'567'890, 123'456'789);
    ::chmod((tree / "src/a/readonly.txt").c_str(), 0444);
    ::chmod((tree / "src/top.txt").c_str(), 04750);
    ::chmod((tree / "src/a/b").c_str(), 0750);

    RecordingFileSystem fileSystem;
    RunReport report;
    SyncFolderTree(tree / "src", tree / "dst/", OptionsFor(fileSystem, report));

    EXPECT_EQ(Snapshot(tree / "dst"), Snapshot(tree / "src"));
    struct stat deep = StatOf(tree / "dst/a/b/deep.txt");
    EXPECT_EQ(deep.st_mtim.tv_sec, 1'234'567'890);
    EXPECT_EQ(deep.st_mtim.tv_nsec, 123'456'789);
    EXPECT_EQ(StatOf(tree / "dst/a/readonly.txt").st_mode & 07777, 0444u);
    EXPECT_EQ(StatOf(tree / "dst/top.txt").st_mode & 07777, 04750u);
    EXPECT_EQ(StatOf(tree / "dst/a/b").st_mode & 07777, 0750u);
    // One whole copy: each destination file was looked at once, by its copy's last look before
    // the install, and not first by a comparison.
    std::vector<std::string> looked = fileSystem.lookedAt;
    std::sort(looked.begin(), looked.end());
    EXPECT_EQ(std::adjacent_find(looked.begin(), looked.end()), looked.end());
    EXPECT_EQ(looked.size(), 4u);
    EXPECT_EQ(report.filesCopied, 4u);
    EXPECT_EQ(report.bytesCopied, 10u);
    // What a whole copy examines counts as compared, so progress never shows more copied.
    EXPECT_EQ(report.filesCompared, 4u);
    EXPECT_EQ(report.foldersVisited, 4u);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_EQ(fileSystem.syncs, 1);

    // Nothing changed: the second run compares everything, copies nothing and needs no sync.
    RecordingFileSystem again;
    RunReport second;
    SyncFolderTree(tree / "src", tree / "dst", OptionsFor(again, second));
    EXPECT_EQ(second.filesCopied, 0u);
    EXPECT_EQ(second.filesCompared, 4u);
    EXPECT_EQ(again.syncs, 0);

    // A read-only destination copy is replaced when its source becomes newer.
    ::chmod((tree / "src/a/readonly.txt").c_str(), 0644);
    WriteOldFile(tree / "src/a/readonly.txt", "changed");
    ::chmod((tree / "src/a/readonly.txt").c_str(), 0444);
    SetModified(tree / "src/a/readonly.txt", 2'000'000'000);
    SyncFolderTree(tree / "src", tree / "dst");
    EXPECT_EQ(ReadFile(tree / "dst/a/readonly.txt"), "changed");
}

TEST(TreeSync, CopiesAcrossFileSystemsWithTheReadWriteFallback) {
    if (!fs::is_directory("/dev/shm"))
        GTEST_SKIP() << "no second file system at /dev/shm";
    std::string pattern = "/dev/shm/tavrick-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    std::string source = pattern;
    std::string contents(3 << 20, 'x');
    WriteOldFile(source + "/big", contents);
    WriteOldFile(source + "/empty", "");
    SetModified(source + "/big", 1'400'000'000, 5);
    TempFolder tree;
    RunReport report;
    RunOptions options;
    options.report = &report;
    SyncFolderTree(source, tree / "dst", options);
    fs::remove_all(source);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_TRUE(ReadFile(tree / "dst/big") == contents);
    EXPECT_EQ(StatOf(tree / "dst/big").st_mtim.tv_nsec, 5);
    EXPECT_TRUE(fs::exists(tree / "dst/empty"));
    EXPECT_EQ(report.bytesCopied, contents.size());
}

TEST(Faults, FifosAndSocketsAreSkippedWithoutHangingAndLinksToThemStayLinks) {
    TempFolder tree;
    WriteOldFile(tree / "src/before", "1");
    WriteOldFile(tree / "src/sub/after", "2");
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
        EXPECT_EQ(fs::read_symlink(tree / root + "/dangling"), "nowhere");
        EXPECT_EQ(fs::read_symlink(tree / root + "/link-to-pipe"), "pipe");
    }
    EXPECT_TRUE(report.failures.empty());
}

// Links inside the source, or leading to what holds it, stay links; those bringing data in
// from outside are followed; an earlier backup's folder or file where the source now has a link
// stays as it is.
TEST(Links, InsideLinksStayLinksOutsideOnesAreFollowed) {
    TempFolder tree;
    WriteOldFile(tree / "src/a/file", "a");
    WriteOldFile(tree / "src/other/file", "o");
    WriteOldFile(tree / "outside/photos/p1", "p");
    WriteOldFile(tree / "outside/single", "s");
    const std::pair<const char*, std::string> links[] = {{"src/a/up", "../.."},
                                                         {"src/a/self-parent", ".."},
                                                         {"src/a/sideways", "../other"},
                                                         {"src/a/file-link", "file"},
                                                         {"src/root", "/"},
                                                         {"src/proc", "/proc/self"},
                                                         {"src/backup", tree / "dst"},
                                                         {"src/photos", tree / "outside/photos"},
                                                         {"src/single", tree / "outside/single"},
                                                         {"outside/photos/up", ".."}};
    for (const auto& [name, target] : links)
        ASSERT_EQ(::symlink(target.c_str(), (tree / name).c_str()), 0) << name;

    RunReport first;
    RunOptions options;
    options.report = &first;
    SyncFolderTree(tree / "src", tree / "dst", options);  // whole copy
    EXPECT_TRUE(first.failures.empty());
    EXPECT_EQ(first.linksMade, 8u);
    for (const auto& [name, target] : links) {
        std::string copy =
            tree / ("dst/" + std::string(name).substr(std::string(name).find('/') + 1));
        if (target.starts_with(tree / "outside"))
            EXPECT_FALSE(fs::is_symlink(copy)) << name;
        else
            EXPECT_EQ(fs::read_symlink(copy), target) << name;
    }
    EXPECT_EQ(ReadFile(tree / "dst/photos/p1"), "p");
    EXPECT_EQ(ReadFile(tree / "dst/single"), "s");

    // Nothing changed: nothing is made again. A link given another target is replaced; new
    // data outside is followed; kept folders and files of an earlier backup are noted once.
    RunReport second;
    options.report = &second;
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_EQ(second.filesCopied + second.linksMade, 0u);
    fs::remove(tree / "src/a/sideways");
    fs::create_directory_symlink(".", tree / "src/a/sideways");
    WriteOldFile(tree / "outside/photos/p2", "q");
    fs::create_directory_symlink("a", tree / "src/kept-folder");
    fs::create_symlink("a/file", tree / "src/kept-file");
    WriteOldFile(tree / "dst/kept-folder/earlier", "e");
    WriteOldFile(tree / "dst/kept-file", "earlier");
    RunReport third;
    options.report = &third;
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_TRUE(third.failures.empty());
    EXPECT_EQ(third.linksMade, 1u);
    EXPECT_EQ(fs::read_symlink(tree / "dst/a/sideways"), ".");
    EXPECT_EQ(ReadFile(tree / "dst/photos/p2"), "q");
    EXPECT_EQ(ReadFile(tree / "dst/kept-folder/earlier"), "e");
    EXPECT_EQ(ReadFile(tree / "dst/kept-file"), "earlier");
    EXPECT_EQ(third.notes.size(), 1u);
    EXPECT_FALSE(HasTemporaries(tree / "dst"));
}

// A home folder with a Wine prefix (its "z:" leads to "/") and links into /proc and /sys: a
// run reads the home folder and nothing of the system's.
TEST(Links, HomeWithAWinePrefixAndKernelLinksGivesASmallBackup) {
    TempFolder tree;
    WriteOldFile(tree / "home/.wine/drive_c/windows/win.ini", "w");
    WriteOldFile(tree / "home/notes", "n");
    fs::create_directories(tree / "home/.wine/dosdevices");
    fs::create_directory_symlink("/", tree / "home/.wine/dosdevices/z:");
    fs::create_directory_symlink("../drive_c", tree / "home/.wine/dosdevices/c:");
    fs::create_directory_symlink("/proc", tree / "home/proc");
    fs::create_directory_symlink("/sys/kernel", tree / "home/kernel");
    for (int run = 0; run < 2; ++run) {  // a whole copy, then a walk
        RecordingFileSystem fileSystem;
        RunReport report;
        SyncFolderTree(tree / "home", tree / "dst", OptionsFor(fileSystem, report));
        EXPECT_TRUE(report.failures.empty());
        EXPECT_EQ(report.foldersVisited, 5u);
        EXPECT_EQ(report.filesCompared, 6u);  // two files and four links
        for (const std::string& listed : fileSystem.listed)
            EXPECT_TRUE(listed.starts_with(tree.Path())) << listed;
    }
    EXPECT_EQ(fs::read_symlink(tree / "dst/.wine/dosdevices/z:"), "/");
    EXPECT_EQ(fs::read_symlink(tree / "dst/kernel"), "/sys/kernel");

    // A destination that holds no links (FAT, exFAT, Windows without the right) gets none, and
    // the run says so once; that is no failure.
    struct NoLinks : ForwardingFileSystem {
        void CreateLink(const Folder& folder, std::string_view name, const std::string&,
                        bool) override {
            throw FileSystemError(EPERM, folder.PathOf(name));
        }
    } noLinks;
    RunReport linkless;
    RunOptions withoutLinks;
    withoutLinks.fileSystem = &noLinks;
    withoutLinks.report = &linkless;
    SyncFolderTree(tree / "home", tree / "fat", withoutLinks);
    EXPECT_TRUE(linkless.failures.empty());
    EXPECT_EQ(linkless.notes.size(), 1u);
    EXPECT_EQ(linkless.filesCopied, 2u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree / "fat/proc")));
    EXPECT_FALSE(HasTemporaries(tree / "fat"));

    // A kernel file system is never a source.
    RunReport refused;
    RunOptions options;
    options.report = &refused;
    SyncFolderTree("/proc/self", tree / "proc-copy", options);
    ASSERT_EQ(refused.failures.size(), 1u);
    EXPECT_EQ(refused.failures[0].kind, FailureKind::PseudoFileSystem);
    EXPECT_FALSE(fs::exists(tree / "proc-copy"));
}

// Where links outside the source lead back into a folder above the one being handled (as bind
// mounts can, out of the rules' sight), the walk ends there and reports the cycle.
TEST(Links, CyclesTheRulesCannotSeeAreReportedAndEnd) {
    struct EverythingOutside : ForwardingFileSystem {
        LinkTarget ResolveLink(const Folder& folder, std::string_view name) override {
            LinkTarget target = ForwardingFileSystem::ResolveLink(folder, name);
            target.path = "/elsewhere/" + std::string(name);
            return target;
        }
    } fileSystem;
    TempFolder tree;
    WriteOldFile(tree / "src/a/file", "a");
    ASSERT_EQ(::symlink("..", (tree / "src/a/up").c_str()), 0);
    for (int run = 0; run < 2; ++run) {  // a whole copy, then a walk
        RunReport report;
        RunOptions options;
        options.fileSystem = &fileSystem;
        options.report = &report;
        SyncFolderTree(tree / "src", tree / "dst", options);
        ASSERT_EQ(report.failures.size(), 1u);
        EXPECT_EQ(report.failures[0].kind, FailureKind::FolderCycle);
        EXPECT_EQ(report.failures[0].path, tree / "src/a/up");
    }
    EXPECT_EQ(ReadFile(tree / "dst/a/file"), "a");
}

// Below the destination's top a link is never followed for writing: where a folder or file is
// written and a link stands, the run says so and writes nothing through it. The top itself may
// be a link the user chose.
TEST(Faults, LinksInTheDestinationAreNeverFollowed) {
    TempFolder tree;
    WriteOldFile(tree / "src/a/fa", "A");
    WriteOldFile(tree / "src/file", "new");
    fs::create_directories(tree / "src/b");
    WriteOldFile(tree / "outside", "outside");
    SetModified(tree / "outside", 1'000'000'000);
    fs::create_directories(tree / "real");
    fs::create_directory_symlink("real", tree / "dst");
    fs::create_directory_symlink("../src/b", tree / "real/a");
    fs::create_symlink("../outside", tree / "real/file");
    for (int threads : {0, 8}) {
        RunReport report;
        RunOptions options;
        options.report = &report;
        options.readAheadThreads = threads;
        SyncFolderTree(tree / "src", tree / "dst", options);
        EXPECT_FALSE(fs::exists(tree / "src/b/fa"));
        EXPECT_EQ(ReadFile(tree / "outside"), "outside");
        EXPECT_TRUE(fs::is_symlink(tree / "real/a"));
        EXPECT_TRUE(fs::is_directory(tree / "real/b"));
        ASSERT_EQ(report.failures.size(), 2u);
        EXPECT_EQ(report.failures[0].path, tree / "dst/file");
        EXPECT_EQ(report.failures[1].path, tree / "dst/a");
        for (const auto& failure : report.failures)
            EXPECT_EQ(failure.kind, FailureKind::LinkInDestination);
    }
}

// Replacing copies write their temporaries in one folder at the destination's top. Only what
// the engine made there, and no copy is still writing, is ever removed; a user's file of the
// same pattern anywhere else is data like any other.
TEST(Faults, StaleTemporariesAreRemovedAndNothingElse) {
    TempFolder tree;
    WriteOldFile(tree / "src/file", "f");
    std::string dead = ".tavrick-partial-" + std::to_string(DeadProcessId()) + "-7";
    const std::string area = tree / "dst/.tavrick-partial-copies/";
    WriteOldFile(area + dead, "half");
    WriteOldFile(area + ".tavrick-partial-notes", "user's");
    WriteOldFile(tree / "dst/" + dead, "a destination file outside the area is the user's");
    WriteOldFile(tree / "src/" + dead, "a source file like a temporary is backed up");
    WriteOldFile(tree / "src/sub/" + dead, "in a subfolder too");
    auto& platform = PlatformFileSystem();
    Folder areaFolder = platform.GetFolder(area);
    File live = platform.CreateTemporary(areaFolder, ".tavrick-partial-0123456789abcdef", area);
    // A link in the destination to another device is refused; nothing there is touched.
    std::string pattern = "/dev/shm/tavrick-test-XXXXXX";
    bool otherDevice = fs::is_directory("/dev/shm") && ::mkdtemp(pattern.data()) != nullptr;
    if (otherDevice) {
        WriteOldFile(pattern + "/" + dead, "the user's, on another mount");
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
        ASSERT_EQ(report.failures.size(), 1u);
        EXPECT_EQ(report.failures[0].kind, FailureKind::LinkInDestination);
        fs::remove_all(pattern);
    }

    // Once only temporaries no copy writes are left, the area goes with them.
    live = File();
    fs::remove(area + ".tavrick-partial-notes");
    WriteOldFile(area + dead, "half");
    SyncFolderTree(tree / "src", tree / "dst");
    EXPECT_FALSE(fs::exists(tree / "dst/.tavrick-partial-copies"));
}
