// Status codes of the comparison and the copy decision taken on each.
#include <sys/stat.h>
#include <unistd.h>

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
};

void Put(const std::string& path, const Side& side) {
    WriteOldFile(path, side.contents);
    ::chmod(path.c_str(), side.mode);
    SetModified(path, side.seconds, side.nanoseconds);
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
    ASSERT_EQ(::symlink("A.txt", (tree / "src/link.txt").c_str()), 0);

    ComparisonTable table = CompareFolderFiles(tree / "src", tree / "dst");
    std::vector<std::string> names;
    for (const ComparisonRow& row : table) {
        names.push_back(row.name);
        EXPECT_EQ(row.status, OnlyInSource) << row.name;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"A.txt", "link.txt"}));
}

TEST(Comparison, TrailingSeparatorsGiveTheSameTable) {
    TempFolder tree;
    WriteOldFile(tree / "src/one", "1");
    WriteOldFile(tree / "src/two", "22");
    WriteOldFile(tree / "dst/two", "2");
    auto plain = CompareFolderFiles(tree / "src", tree / "dst");
    auto trailing = CompareFolderFiles(tree / "src/", tree / "dst/");
    ASSERT_EQ(plain.size(), 2u);
    ASSERT_EQ(trailing.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        EXPECT_EQ(trailing[i].name, plain[i].name);
        EXPECT_EQ(trailing[i].status, plain[i].status);
    }
}

TEST(Comparison, MissingOrEmptyFoldersFailAndEmptySourceGivesNoRows) {
    TempFolder tree;
    fs::create_directories(tree / "src");
    WriteOldFile(tree / "dst/file", "x");
    EXPECT_TRUE(CompareFolderFiles(tree / "src", tree / "dst").empty());
    EXPECT_THROW(CompareFolderFiles(tree / "dst", tree / "absent"), FileSystemError);
    EXPECT_THROW(CompareFolderFiles(tree / "absent", tree / "dst"), FileSystemError);
    EXPECT_THROW(CompareFolderFiles("", tree / "dst"), FileSystemError);
    EXPECT_THROW(SyncFolderFiles(tree / "dst", ""), FileSystemError);
}
