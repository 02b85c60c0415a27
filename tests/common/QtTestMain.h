// SPDX-License-Identifier: GPL-3.0-or-later
// The entry of a QtTest program, like QTEST_MAIN, with the user's folders in a temporary folder
// set before the application object exists.
#pragma once

#include <QApplication>
#include <QTest>

#include "tests/common/IsolatedUserFolders.h"

#define TAVRICK_ISOLATED_TEST_MAIN(TestClass)   \
    int main(int argc, char** argv) {           \
        const IsolatedUserFolders folders;      \
        if (!folders.IsValid()) {               \
            return 1;                           \
        }                                       \
        QApplication app(argc, argv);           \
        TestClass test;                         \
        return QTest::qExec(&test, argc, argv); \
    }
