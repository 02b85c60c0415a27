// SPDX-License-Identifier: GPL-3.0-or-later
// The watcher waits in nested event loops, so its tests run inside a core application.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
