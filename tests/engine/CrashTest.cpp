// A run killed in the middle of copying a large file leaves the old file under the target name,
// and the next run puts the new one there and clears the temporary away.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "FileSync.h"
#include "TestTree.h"

namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr int kChunks = 320;  // enough real data that the copy takes a noticeable while

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
}

pid_t StartSync(const std::string& source, const std::string& destination) {
    pid_t child = ::fork();
    if (child == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::execl(TAVRICK_SYNC_PROGRAM, TAVRICK_SYNC_PROGRAM, source.c_str(), destination.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return child;
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

// Kills the run as soon as its temporary shows up in one of the folders; false when it
// finished first.
bool KillMidCopy(pid_t child, const std::string& destination, const std::string& targetFolder) {
    auto anyTemporary = [&] { return HasTemporary(destination) || HasTemporary(targetFolder); };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (anyTemporary()) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            return anyTemporary();
        }
        if (::waitpid(child, nullptr, WNOHANG) == child)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return false;
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
    WriteFile(targetFile, "old");
    SetModified(targetFile, 1'000'000'000);

    bool killedMidCopy = false;
    for (int attempt = 0; attempt < 5 && !killedMidCopy; ++attempt) {
        killedMidCopy =
            KillMidCopy(StartSync(tree / "src", tree / "dst"), tree / "dst", targetFolder);
        if (!killedMidCopy && fs::file_size(targetFile) != 3) {
            // The copy won the race; put the old file back and try again.
            WriteFile(targetFile, "old");
            SetModified(targetFile, 1'000'000'000);
        }
    }
    if (!killedMidCopy)
        GTEST_SKIP() << "the copy always finished before it could be killed";

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

TEST(Crash, DriverReportsAndExitsByOutcome) {
    TempFolder tree;
    WriteFile(tree / "src/file", "f");
    auto status = [&](const std::string& arguments) {
        std::string command = std::string(TAVRICK_SYNC_PROGRAM) + " " + arguments + " >/dev/null";
        return WEXITSTATUS(std::system(command.c_str()));
    };
    EXPECT_EQ(status("'" + tree / "src" + "' '" + tree / "dst" + "'"), 0);
    EXPECT_EQ(ReadFile(tree / "dst/file"), "f");
    EXPECT_EQ(status("'" + tree / "absent" + "' '" + tree / "dst" + "'"), 1);
    EXPECT_EQ(status("only-one-argument"), 2);
}
