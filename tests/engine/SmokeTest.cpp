#include <gtest/gtest.h>

#include "FileSync.h"

TEST(Engine, EmptyPathsChangeNothing) {
    FileSync::SyncFolderTree("", "");
}
