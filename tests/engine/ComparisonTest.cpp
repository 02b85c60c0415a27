// SPDX-License-Identifier: GPL-3.0-or-later
// Status codes of the comparison and the copy decision taken on each.

#include "TestTree.h"
#include "engine/FileSync.h"

using namespace FileSync;

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
