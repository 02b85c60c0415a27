// SPDX-License-Identifier: GPL-3.0-or-later
// The platform's change notification alone, without Qt, on real folders: what a backend must
// report, on Linux and on Windows alike. The signal and re-arm rules above it are tested
// through ChangeNotification and the watcher.
#include <gtest/gtest.h>

#include <filesystem>

#include "TempFolder.h"
#include "TestFiles.h"
#include "control/FolderWatch.h"

namespace {

using ChangeNotification::FolderWatch;
namespace fs = std::filesystem;

constexpr unsigned kFilesAttributesWrites = ChangeNotification::kFileNameChanges |
                                            ChangeNotification::kAttributeChanges |
                                            ChangeNotification::kLastWriteChanges;

// Drains until the backend reports a change or the end; the test's time-out bounds it.
FolderWatch::Drained AwaitNews(FolderWatch& watch) {
    for (;;) {
        const FolderWatch::Drained drained = watch.Drain();
        if (drained.changed || drained.ended)
            return drained;
        watch.Block(1000);
    }
}

class FolderWatchTest : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(Watched());
        watch = FolderWatch::Open(Watched(), kFilesAttributesWrites);
        ASSERT_TRUE(watch);
    }
    std::string Watched() const { return root / "watched"; }

    TempFolder root;
    std::unique_ptr<FolderWatch> watch;
};

// A change made while nobody waits is kept for the next drain, and later changes still come.
TEST_F(FolderWatchTest, ChangesBetweenDrainsAreKept) {
    EXPECT_FALSE(watch->Drain().changed);
    WriteFile(Watched() + "/a", "x", WriteMode::Append);
    EXPECT_TRUE(AwaitNews(*watch).changed);
    WriteFile(Watched() + "/a", "x", WriteMode::Append);
    WriteFile(Watched() + "/b", "x", WriteMode::Append);
    const FolderWatch::Drained news = AwaitNews(*watch);
    EXPECT_TRUE(news.changed);
    EXPECT_FALSE(news.ended);
}

// The move may be reported as a change first.
TEST_F(FolderWatchTest, AFolderRenamedAwayAndReplacedEndsTheWatch) {
    fs::rename(Watched(), root / "moved");
    fs::create_directory(Watched());
    while (!AwaitNews(*watch).ended) {
    }
}

// Wine keeps a deleted folder until its last handle closes, and the watch holds one, so there
// the deletion cannot be seen; Windows fails the pending read of a folder being deleted.
#ifndef _WIN32
TEST_F(FolderWatchTest, ADeletedFolderEndsTheWatch) {
    fs::remove(Watched());
    EXPECT_TRUE(AwaitNews(*watch).ended);
}
#endif

TEST(FolderWatchOpenTest, OnlyExistingFoldersCanBeWatched) {
    TempFolder root;
    WriteFile(root / "file", "x", WriteMode::Append);
    for (const std::string& path : {std::string(), root / "missing", root / "file"})
        EXPECT_FALSE(FolderWatch::Open(path, ChangeNotification::kFileNameChanges)) << path;
}

}  // namespace
