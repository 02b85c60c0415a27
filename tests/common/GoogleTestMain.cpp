// SPDX-License-Identifier: GPL-3.0-or-later
// The entry of the GoogleTest programs that use Qt: the tests run inside an application object
// (the watcher waits in nested event loops, the folder picker makes widgets), on the offscreen
// platform unless another is asked for, with the user's folders in a temporary folder.
#include <gtest/gtest.h>

#include <QApplication>

#include "tests/common/IsolatedUserFolders.h"

int main(int argc, char** argv) {
    const IsolatedUserFolders folders;
    if (!folders.IsValid()) {
        return 1;
    }
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
