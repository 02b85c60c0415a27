// SPDX-License-Identifier: GPL-3.0-or-later
// What only a POSIX system shows: runs killed in the middle of a copy (by a file-size limit, so
// always at the same point), limits, unprivileged users, modes, set-id bits and holes.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "FileSync.h"
#include "TestTree.h"

namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr int kChunks = 16;  // well past the limit the killed runs are given

void WriteLargeFile(const std::string& path) {
    std::string chunk;
    chunk.reserve(kChunk);
    while (chunk.size() < kChunk)
        chunk += "abcdefghijklmnopqrstuvw";
    chunk.resize(kChunk);
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < kChunks; ++i) {
        chunk[0] = static_cast<char>(i);
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    out.close();
    SetModified(path, ::time(nullptr) - 86'400);
}

// How the child that runs tavrick-sync is limited.
struct ChildLimits {
    bool asNobody = false;         // run as the unprivileged user nobody (when root)
    rlim_t openFiles = 0;          // soft limit on open descriptors; 0 leaves it
    bool openFilesHard = false;    // makes that the hard limit too
    rlim_t fileSize = 0;           // largest file it may write; 0 leaves it
    bool killedByFileSize = true;  // a write past fileSize kills it, else fails with EFBIG
    int readAhead = -1;            // --read-ahead; negative leaves it to the run
};

// A folder for runs as another user: the temporary folder when every user can reach it, else
// /tmp, since the temporary folder may lie in a home only its owner can enter (~/tmp).
fs::path FolderEveryoneReaches() {
    fs::path base = fs::temp_directory_path();
    for (fs::path folder = base;; folder = folder.parent_path()) {
        struct stat facts {};
        if (::stat(folder.c_str(), &facts) != 0 || (facts.st_mode & S_IXOTH) == 0)
            return "/tmp";
        if (folder == folder.parent_path())
            return base;
    }
}

// Runs tavrick-sync in a child process, its output into `output`; returns the wait status.
int RunSync(const std::string& source, const std::string& destination, const ChildLimits& limits,
            const std::string& output = "/dev/null") {
    pid_t child = ::fork();
    if (child == 0) {
        int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        if (limits.openFiles) {
            struct rlimit limit;
            ::getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = limits.openFiles;
            if (limits.openFilesHard)
                limit.rlim_max = limits.openFiles;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (limits.fileSize) {
            struct rlimit limit = {limits.fileSize, limits.fileSize};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::signal(SIGXFSZ, limits.killedByFileSize ? SIG_DFL : SIG_IGN);
        }
        const char* program = TAVRICK_SYNC_PROGRAM;
        if (limits.asNobody && ::geteuid() == 0)
            ::execlp("setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                     program, source.c_str(), destination.c_str(), static_cast<char*>(nullptr));
        else if (limits.readAhead >= 0)
            ::execl(program, program, "--read-ahead", std::to_string(limits.readAhead).c_str(),
                    source.c_str(), destination.c_str(), static_cast<char*>(nullptr));
        else
            ::execl(program, program, source.c_str(), destination.c_str(),
                    static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

bool SameContents(const std::string& left, const std::string& right) {
    std::ifstream a(left, std::ios::binary), b(right, std::ios::binary);
    std::vector<char> bufferA(kChunk), bufferB(kChunk);
    while (a && b) {
        a.read(bufferA.data(), kChunk);
        b.read(bufferB.data(), kChunk);
        if (a.gcount() != b.gcount() ||
            !std::equal(bufferA.begin(), bufferA.begin() + a.gcount(), bufferB.begin()))
            return false;
    }
    return a.eof() && b.eof();
}

bool HasTemporary(const std::string& folder) {
    for (auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().starts_with(".tavrick-partial-"))
            return true;
    return false;
}

// A run that may write files of at most a few chunks is killed in the middle of the large one.
void KillMidCopy(const std::string& source, const std::string& destination) {
    ChildLimits limits;
    limits.fileSize = 4 * kChunk;
    int status = RunSync(source, destination, limits);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
}

}  // namespace

// Kills a run that replaces `relative`, then checks that the old file stayed and that the next
// run puts the new one there and clears the temporary away.
void CheckKilledReplacementIsRepaired(const std::string& relative) {
    TempFolder tree;
    const std::string sourceFile = tree / "src/" + relative;
    const std::string targetFile = tree / "dst/" + relative;
    const std::string targetFolder = fs::path(targetFile).parent_path();
    WriteLargeFile(sourceFile);
    WriteOldFile(targetFile, "old");
    SetModified(targetFile, 1'000'000'000);

    KillMidCopy(tree / "src", tree / "dst");
    ASSERT_EQ(fs::file_size(targetFile), 3u);
    EXPECT_EQ(ReadFile(targetFile), "old");
    EXPECT_TRUE(HasTemporary(tree / "dst"));
    if (targetFolder != tree / "dst") {
        EXPECT_FALSE(HasTemporary(targetFolder));
    }
    FileSync::RunReport report;
    FileSync::RunOptions options;
    options.report = &report;
    FileSync::SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_FALSE(HasTemporary(tree / "dst"));
    EXPECT_FALSE(HasTemporary(targetFolder));
    struct stat source = StatOf(sourceFile);
    struct stat copy = StatOf(targetFile);
    EXPECT_EQ(copy.st_size, source.st_size);
    EXPECT_EQ(copy.st_mtim.tv_sec, source.st_mtim.tv_sec);
    EXPECT_EQ(copy.st_mtim.tv_nsec, source.st_mtim.tv_nsec);
    EXPECT_TRUE(SameContents(targetFile, sourceFile));
}

TEST(Crash, KilledCopyLeavesTheOldFileAndTheNextRunRepairs) {
    CheckKilledReplacementIsRepaired("large");
}

// Every folder on the destination's device has its temporaries written in the top folder, the
// one folder each run clears; so a copy killed deep in the tree is cleared all the same.
TEST(Crash, KilledCopyDeepInTheTreeIsClearedFromTheTop) {
    CheckKilledReplacementIsRepaired("deep/er/large");
}

// Folders keep their source's modes, read-only ones included, yet stay writable for later runs;
// a whole-folder copy killed half way leaves nothing a complete run does not put right.
TEST(Posix, FolderModesSurviveUnprivilegedAndInterruptedRuns) {
    TempFolder tree(FolderEveryoneReaches());
    ::chmod(tree.Path().c_str(), 0777);
    WriteOldFile(tree / "src/ro/f", "a");
    WriteLargeFile(tree / "src/newdir/big");
    fs::create_directories(tree / "src/user");
    ::chmod((tree / "src/ro").c_str(), 0555);
    ::chmod((tree / "src/newdir").c_str(), 0555);
    fs::create_directories(tree / "dst/user");
    ::chmod((tree / "dst/user").c_str(), 0700);  // the user's own choice
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((tree / "dst/user").c_str(), 65534, 65534), 0);
    }
    ::chmod((tree / "dst").c_str(), 0777);
    ChildLimits nobody;
    nobody.asNobody = true;
    ChildLimits killed = nobody;
    killed.fileSize = 4 * kChunk;
    int status = RunSync(tree / "src", tree / "dst", killed);
    EXPECT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(RunSync(tree / "src", tree / "dst", nobody), 0);

    ::chmod((tree / "src/ro").c_str(), 0755);
    WriteOldFile(tree / "src/ro/g", "g");
    ::chmod((tree / "src/ro").c_str(), 0555);
    EXPECT_EQ(RunSync(tree / "src", tree / "dst", nobody), 0);
    EXPECT_EQ(ReadFile(tree / "dst/ro/g"), "g");
    EXPECT_TRUE(SameContents(tree / "dst/newdir/big", tree / "src/newdir/big"));
    EXPECT_EQ(StatOf(tree / "dst/ro").st_mode & 07777, 0555u);
    EXPECT_EQ(StatOf(tree / "dst/newdir").st_mode & 07777, 0555u);
    EXPECT_EQ(StatOf(tree / "dst/user").st_mode & 07777, 0700u);
    for (const char* folder : {"src/ro", "src/newdir", "dst/ro", "dst/newdir"})
        ::chmod((tree / folder).c_str(), 0755);
}

// A write that fails names the destination; a deep tree needs more descriptors than a
// desktop's soft limit allows; a copy owned by another user than its source's owner loses the
// set-id bits; holes stay holes.
TEST(Posix, LimitsOwnersAndHoles) {
    TempFolder tree;
    WriteLargeFile(tree / "src/large");
    ChildLimits limited;
    limited.fileSize = kChunk;
    limited.killedByFileSize = false;
    EXPECT_NE(RunSync(tree / "src", tree / "dst", limited, tree / "out"), 0);
    EXPECT_NE(ReadFile(tree / "out").find(tree / "dst/large: File too large"), std::string::npos)
        << ReadFile(tree / "out");

    std::string deep = tree / "deep";
    for (int level = 0; level < 200; ++level)
        deep += "/d";
    WriteOldFile(deep + "/file", "deep");
    ChildLimits fewFiles;
    fewFiles.openFiles = 64;
    EXPECT_EQ(RunSync(tree / "deep", tree / "deep-copy", fewFiles), 0);
    EXPECT_TRUE(fs::exists(tree / "deep-copy" + deep.substr((tree / "deep").size()) + "/file"));

    // Reading ahead a wide tree holds folders open, never so many that the run runs short.
    for (int i = 0; i < 300; ++i)
        WriteOldFile(tree / "wide/" + std::to_string(i % 30) + "/" + std::to_string(i) + "/f", "1");
    ASSERT_EQ(RunSync(tree / "wide", tree / "wide-copy", fewFiles), 0);
    for (int i = 0; i < 300; ++i)
        WriteOldFile(tree / "wide/" + std::to_string(i % 30) + "/" + std::to_string(i) + "/f",
                     "22");
    fewFiles.openFiles = 48;
    fewFiles.openFilesHard = true;
    EXPECT_EQ(RunSync(tree / "wide", tree / "wide-copy", fewFiles), 0);
    EXPECT_EQ(Snapshot(tree / "wide-copy"), Snapshot(tree / "wide"));

    WriteOldFile(tree / "ids/set-id", "s");
    int sparse = ::open((tree / "ids/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::ftruncate(sparse, 64 << 20), 0);
    ASSERT_EQ(::pwrite(sparse, "data", 4, 1 << 20), 4);
    ::close(sparse);
    bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown((tree / "ids/set-id").c_str(), 65534, 65534), 0);
    }
    ::chmod((tree / "ids/set-id").c_str(), 06755);
    RecordingFileSystem fileSystem;
    int sparseSlices = 0;
    fileSystem.beforeSlice = [&](const std::string& source, std::uint64_t) {
        sparseSlices += source == tree / "ids/sparse";
    };
    FileSync::RunReport report;
    FileSync::SyncFolderTree(tree / "ids", tree / "ids-copy", OptionsFor(fileSystem, report));
    EXPECT_EQ(StatOf(tree / "ids-copy/set-id").st_mode & 07777, root ? 0755u : 06755u);
    struct stat copy = StatOf(tree / "ids-copy/sparse");
    EXPECT_EQ(copy.st_size, 64 << 20);
    if (StatOf(tree / "ids/sparse").st_blocks * 512 < (1 << 20)) {
        EXPECT_LT(copy.st_blocks * 512, 1 << 20);
        // A hole is passed over in one call, never read through block by block: no more calls
        // than the length has slices of 8 MiB.
        EXPECT_LE(sparseSlices, 8);
    }
    EXPECT_TRUE(SameContents(tree / "ids-copy/sparse", tree / "ids/sparse"));
}

// Reading ahead never leaves the walk short of descriptors: a deep chain of folders with a
// short side folder at every level, on both sides, so that the side folders read ahead wait
// while the walk goes down, is copied whole at a limit the walk needs nearly all of.
TEST(Posix, ReadingAheadNeverStarvesTheWalkOfDescriptors) {
    TempFolder tree;
    struct Case {
        const char* name;
        int depth;
        rlim_t openFiles;
        int readAhead;
    };
    for (const Case& deep : {Case{"narrow", 25, 60, 8}, Case{"deep", 490, 1024, -1}}) {
        const std::string root = tree / deep.name;
        const std::string source = root + "/src";
        const std::string destination = root + "/dst";
        std::string level;
        for (int i = 0; i < deep.depth; ++i) {
            for (const char* side : {"/s", "/d"}) {
                std::string below = level + side;
                fs::create_directories(destination + below);
                WriteOldFile(source + below.append("/f"), "x");
            }
            level += "/d";
        }
        ChildLimits limits;
        limits.openFiles = deep.openFiles;
        limits.openFilesHard = true;
        limits.readAhead = deep.readAhead;
        EXPECT_EQ(RunSync(root + "/src", root + "/dst", limits, tree / "out"), 0)
            << deep.name << ": " << ReadFile(tree / "out");
        int missing = 0;
        for (level.clear(); level.size() < std::size_t{2} * deep.depth; level += "/d")
            for (const char* side : {"s", "d"})
                missing += !fs::exists(fs::path(destination + level) / side / "f");
        EXPECT_EQ(missing, 0) << deep.name;
    }
}
