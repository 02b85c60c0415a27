// SPDX-License-Identifier: GPL-3.0-or-later
// Windows' own rules beneath the engine: attributes instead of permission bits, read-only
// copies replaced, names paired ignoring case, and temporaries that go with their handle.
#include <process.h>
#include <windows.h>

#include "TestTree.h"
#include "engine/FileSync.h"
#include "engine/win/WidePath.h"

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

// A rename's failure keeps its cause: between volumes the engine must hear EXDEV, on which it
// makes the copy where it is to go, not "permission denied".
TEST(Windows, InstallingOnAnotherVolumeSaysSo) {
    TempFolder tree;
    auto& platform = PlatformFileSystem();
    Folder here = platform.GetFolder(tree.Path());
    const std::string elsewhere = R"(Z:\dev\shm\)" + fs::path(tree.Path()).filename().string();
    fs::create_directory(elsewhere);
    Folder there = platform.GetFolder(elsewhere);
    const bool otherVolume = there.Identity().device != here.Identity().device;
    there = Folder();
    if (!otherVolume) {
        fs::remove(elsewhere);
        GTEST_SKIP() << "no second volume at " << elsewhere;
    }
    there = platform.GetFolder(elsewhere);
    File temporary = platform.CreateTemporary(here, ".tavrick-partial-0123456789abcdef", "t");
    try {
        platform.InstallTemporary(temporary, there, "file", true);
        ADD_FAILURE() << "installed on another volume";
    } catch (const FileSystemError& error) {
        EXPECT_EQ(error.code(), std::errc::cross_device_link) << error.Reason();
    }
    platform.DiscardTemporary(temporary);
    there = Folder();
    fs::remove_all(elsewhere);
}

// Names are UTF-16 and may hold a surrogate without its partner: such a name has a WTF-8 form
// that names it again, and no text has two forms.
TEST(Windows, EveryNameHasOneNarrowForm) {
    const std::wstring lone =
        L"a\xD800"
        L"b\xDC00";
    const std::string narrow = WidePath::ToUtf8(lone);
    EXPECT_EQ(narrow,
              "a\xED\xA0\x80"
              "b\xED\xB0\x80");
    EXPECT_EQ(WidePath::FromUtf8(narrow), lone);
    EXPECT_EQ(WidePath::ToUtf8(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80");  // a pair is one point
    EXPECT_EQ(WidePath::FromUtf8("\xED\xA0\xBD\xED\xB8\x80"), L"");    // ...with one form
    EXPECT_EQ(WidePath::FromUtf8("\xC0\xAF"), L"");                    // overlong
}

// Top folders may be given in the forms Windows accepts besides the plain one, and are made
// absolute without the plain form's length limit.
TEST(Windows, TopFoldersInEveryFormAreFound) {
    TempFolder tree;
    WriteOldFile(tree / "src/file", "f");
    std::string slashed = tree / "src";
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    for (const std::string& source :
         {R"(\\.\)" + (tree / "src"), "//?/" + slashed, tree / "src/./x/../"}) {
        RunReport report;
        RunOptions options;
        options.report = &report;
        SyncFolderTree(source, tree / "dst", options);
        EXPECT_TRUE(report.failures.empty()) << source;
        EXPECT_EQ(ReadFile(tree / "dst/file"), "f") << source;
        fs::remove_all(tree / "dst");
    }
    EXPECT_EQ(WidePath::Absolute(R"(C:\a\.\b\..\c. . )"), LR"(\\?\C:\a\c)");
    EXPECT_EQ(WidePath::Absolute(R"(\\server\share\..\x)"), LR"(\\?\UNC\server\share\x)");
    std::string roundabout = tree.Path();
    for (int i = 0; i < 60; ++i)
        roundabout += "\\sub\\..";
    EXPECT_EQ(WidePath::Absolute(roundabout), WidePath::Absolute(tree.Path()));
}

// A sparse file's holes stay holes in its copy, wherever they are: its data takes its room.
TEST(Windows, HolesAreCopiedAsHoles) {
    TempFolder tree;
    constexpr LONGLONG kLength = 64 << 20;
    WriteOldFile(tree / "src/sparse", "");
    {
        std::fstream file(tree / "src/sparse", std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(kLength / 2);
        file << "data";
    }
    fs::resize_file(tree / "src/sparse", kLength);
    SetModified(tree / "src/sparse", 1'600'000'000);
    SyncFolderTree(tree / "src", tree / "dst");
    const HANDLE copy = CreateFileW(fs::path(tree / "dst/sparse").wstring().c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    FILE_STANDARD_INFO standard{};
    GetFileInformationByHandleEx(copy, FileStandardInfo, &standard, sizeof standard);
    CloseHandle(copy);
    EXPECT_EQ(standard.EndOfFile.QuadPart, kLength);
    EXPECT_LT(standard.AllocationSize.QuadPart, kLength / 8);
    std::ifstream file(tree / "dst/sparse", std::ios::binary);
    file.seekg(kLength / 2);
    std::string data(4, '\0');
    file.read(data.data(), 4);
    EXPECT_EQ(data, "data");
}

static bool MakeLink(const std::string& target, const std::string& link, bool toFolder) {
    DWORD flags = (toFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
                  SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    return CreateSymbolicLinkW(fs::path(link).wstring().c_str(), fs::path(target).wstring().c_str(),
                               flags);
}

static bool IsLink(const std::string& path) {
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
    EXPECT_EQ(status(tree / "absent", tree / "dst"), 3);  // a folder that cannot be reached
}

// What Windows shows of the driver: its description and version, and the manifest that gives it
// long paths and the behaviour of current systems.
TEST(Windows, DriverCarriesItsVersionAndManifest) {
    const std::wstring program = fs::path(TAVRICK_SYNC_PROGRAM).wstring();
    DWORD ignored = 0;
    std::string block(GetFileVersionInfoSizeW(program.c_str(), &ignored), '\0');
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, DWORD(block.size()), block.data()));
    const auto text = [&](const wchar_t* name) {
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring key = std::wstring(LR"(\StringFileInfo\040904b0\)") + name;
        if (!VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
            return std::string();
        return WidePath::ToUtf8(std::wstring_view(value, length ? length - 1 : 0));
    };
    EXPECT_EQ(text(L"ProductVersion"), TAVRICK_VERSION);
    EXPECT_EQ(text(L"OriginalFilename"), "tavrick-sync.exe");
    EXPECT_FALSE(text(L"FileDescription").empty());
    const HMODULE image = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(image);
    EXPECT_TRUE(FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)));  // RT_MANIFEST
    FreeLibrary(image);
}
