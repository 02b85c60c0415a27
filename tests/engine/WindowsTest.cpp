// Windows' own rules beneath the engine: attributes instead of permission bits, read-only
// copies replaced, names paired ignoring case, and temporaries that go with their handle.
#include <process.h>
#include <windows.h>

#include "FileSync.h"
#include "TestTree.h"

using namespace FileSync;

namespace {

constexpr DWORD kAllKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

void SetAttributes(const std::string& path, DWORD attributes) {
    ASSERT_TRUE(SetFileAttributesW(fs::path(path).wstring().c_str(),
                                   attributes ? attributes : FILE_ATTRIBUTE_NORMAL))
        << path;
}

DWORD AttributesOf(const std::string& path) {
    return GetFileAttributesW(fs::path(path).wstring().c_str()) & kAllKept;
}

}  // namespace

TEST(Windows, AttributesAreComparedAndCopiedAndReadOnlyCopiesReplaced) {
    TempFolder tree;
    WriteOldFile(tree / "src/plain", "p");
    WriteOldFile(tree / "src/marked", "m");
    SetModified(tree / "src/marked", -86'400, 123'456'700);  // 100 ns steps, before 1970
    SetAttributes(tree / "src/marked", kAllKept);
    fs::create_directories(tree / "src/secret");
    SetAttributes(tree / "src/secret", FILE_ATTRIBUTE_HIDDEN);
    SyncFolderTree(tree / "src", tree / "dst");
    EXPECT_EQ(AttributesOf(tree / "dst/marked"), kAllKept);
    EXPECT_EQ(AttributesOf(tree / "dst/secret"), DWORD(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(ModifiedOf(tree / "dst/marked").seconds, -86'400);
    EXPECT_EQ(ModifiedOf(tree / "dst/marked").nanoseconds, 123'456'700);

    // Only READONLY, HIDDEN and SYSTEM count, ARCHIVE being the system's own mark; attributes
    // alone cause no copy.
    const auto statusOf = [&](const std::string& name) {
        for (const ComparisonRow& row : CompareFolderFiles(tree / "src", tree / "dst"))
            if (row.name == name)
                return row.status;
        return -1;
    };
    EXPECT_EQ(statusOf("marked"), 0);
    SetAttributes(tree / "src/plain", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    SetAttributes(tree / "dst/plain", FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(statusOf("plain"), 0);
    SetAttributes(tree / "dst/plain", 0);
    EXPECT_EQ(statusOf("plain"), AttributesDiffer);

    // A newer source replaces a read-only copy, which Windows refuses to overwrite as it is.
    SetAttributes(tree / "src/marked", 0);
    WriteOldFile(tree / "src/marked", "changed");
    SetAttributes(tree / "src/marked", FILE_ATTRIBUTE_READONLY);
    RunReport report;
    RunOptions options;
    options.report = &report;
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_EQ(ReadFile(tree / "dst/marked"), "changed");
    EXPECT_EQ(AttributesOf(tree / "dst/marked"), DWORD(FILE_ATTRIBUTE_READONLY));
    SetAttributes(tree / "dst/marked", 0);
}

TEST(Windows, NamesArePairedIgnoringCase) {
    TempFolder tree;
    WriteOldFile(tree / "src/Report.TXT", "new");
    SetModified(tree / "src/Report.TXT", 1'700'000'000);
    WriteOldFile(tree / "dst/report.txt", "old");
    SetModified(tree / "dst/report.txt", 1'600'000'000);
    const ComparisonTable table = CompareFolderFiles(tree / "src", tree / "dst");
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].status, SourceNewer);
    SyncFolderTree(tree / "src", tree / "dst");
    EXPECT_EQ(ReadFile(tree / "dst/report.txt"), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(tree / "dst"), fs::directory_iterator()), 1);
}

// A temporary is deleted with its handle unless installed, and no run removes it meanwhile;
// one left by another run is removed, and its area with it.
TEST(Windows, TemporariesGoWithTheirHandle) {
    TempFolder tree;
    auto& platform = PlatformFileSystem();
    const std::string name = ".tavrick-partial-0123456789abcdef";
    Folder folder = platform.GetFolder(tree.Path());
    EXPECT_THROW(platform.CreateTemporary(folder, {}, tree / "x"), FileSystemError);
    File live = platform.CreateTemporary(folder, name, tree / "x");
    EXPECT_FALSE(platform.RemoveUnusedFile(folder, name));
    live = File();
    EXPECT_TRUE(fs::is_empty(tree.Path()));

    WriteOldFile(tree / "src/file", "f");
    WriteOldFile(tree / "dst/.tavrick-partial-copies/" + name, "half");
    SyncFolderTree(tree / "src", tree / "dst");
    EXPECT_EQ(ReadFile(tree / "dst/file"), "f");
    EXPECT_FALSE(fs::exists(tree / "dst/.tavrick-partial-copies"));
}

bool MakeLink(const std::string& target, const std::string& link, bool toFolder) {
    DWORD flags = (toFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
                  SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    return CreateSymbolicLinkW(fs::path(link).wstring().c_str(), fs::path(target).wstring().c_str(),
                               flags);
}

bool IsLink(const std::string& path) {
    DWORD attributes = GetFileAttributesW(fs::path(path).wstring().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A link inside the source stays a link where the system lets the program make one, and is
// otherwise left out with one note; a folder linked in from outside is backed up as real files.
TEST(Windows, LinksInsideStayLinksOrAreNotedAndOutsideOnesAreFollowed) {
    TempFolder tree;
    WriteOldFile(tree / "src/a/file", "a");
    WriteOldFile(tree / "outside/photos/p1", "p");
    // Wine (8.0) answers that it made the link and makes nothing.
    if (!MakeLink(tree / "src/a", tree / "src/inside", true) || !IsLink(tree / "src/inside"))
        GTEST_SKIP() << "no links can be made here";
    ASSERT_TRUE(MakeLink(tree / "src/a/file", tree / "src/file-link", false));
    ASSERT_TRUE(MakeLink(tree / "outside/photos", tree / "src/photos", true));
    RunReport report;
    RunOptions options;
    options.report = &report;
    SyncFolderTree(tree / "src", tree / "dst", options);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_FALSE(IsLink(tree / "dst/photos"));
    EXPECT_EQ(ReadFile(tree / "dst/photos/p1"), "p");
    if (report.linksMade == 2) {
        Folder destination = PlatformFileSystem().GetFolder(tree / "dst");
        std::string target;
        EXPECT_EQ(PlatformFileSystem().ReadLink(destination, "inside", target), NameHolds::Link);
        EXPECT_EQ(target, tree / "src/a");
        EXPECT_TRUE(IsLink(tree / "dst/file-link"));
    } else {
        EXPECT_EQ(report.notes.size(), 1u);
        EXPECT_FALSE(IsLink(tree / "dst/inside"));
    }
}

// The command-line driver, built for Windows too.
TEST(Windows, DriverReportsAndExitsByOutcome) {
    TempFolder tree;
    WriteOldFile(tree / "src/file", "f");
    const auto status = [](std::string source, std::string destination) {
        const char* arguments[] = {"tavrick-sync", source.c_str(), destination.c_str(), nullptr};
        return _spawnv(_P_WAIT, TAVRICK_SYNC_PROGRAM, arguments);
    };
    EXPECT_EQ(status(tree / "src", tree / "dst"), 0);
    EXPECT_EQ(ReadFile(tree / "dst/file"), "f");
    EXPECT_EQ(status(tree / "absent", tree / "dst"), 1);
}
