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

// Kills the run as soon as its temporary shows up; false when it finished first.
bool KillMidCopy(pid_t child, const std::string& destination) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (HasTemporary(destination)) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            return HasTemporary(destination);
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

TEST(Crash, KilledCopyLeavesTheOldFileAndTheNextRunRepairs) {
    TempFolder tree;
    WriteLargeFile(tree / "src/large");
    WriteFile(tree / "dst/large", "old");
    SetModified(tree / "dst/large", 1'000'000'000);

    bool killedMidCopy = false;
    for (int attempt = 0; attempt < 5 && !killedMidCopy; ++attempt) {
        killedMidCopy = KillMidCopy(StartSync(tree / "src", tree / "dst"), tree / "dst");
        if (!killedMidCopy && fs::file_size(tree / "dst/large") != 3) {
            // The copy won the race; put the old file back and try again.
            WriteFile(tree / "dst/large", "old");
            SetModified(tree / "dst/large", 1'000'000'000);
        }
    }
    if (!killedMidCopy)
        GTEST_SKIP() << "the copy always finished before it could be killed";

    ASSERT_EQ(fs::file_size(tree / "dst/large"), 3u);
    EXPECT_EQ(ReadFile(tree / "dst/large"), "old");

    FileSync::RunReport report;
    FileSync::RunOptions options;
    options.report = &report;
    FileSync::SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_FALSE(HasTemporary(tree / "dst"));
    struct stat source = StatOf(tree / "src/large");
    struct stat copy = StatOf(tree / "dst/large");
    EXPECT_EQ(copy.st_size, source.st_size);
    EXPECT_EQ(copy.st_mtim.tv_sec, source.st_mtim.tv_sec);
    EXPECT_EQ(copy.st_mtim.tv_nsec, source.st_mtim.tv_nsec);
    EXPECT_TRUE(SameContents(tree / "dst/large", tree / "src/large"));
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
