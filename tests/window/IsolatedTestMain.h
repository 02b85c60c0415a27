// SPDX-License-Identifier: GPL-3.0-or-later
// A QtTest entry whose settings, log-on entries and run log live in a temporary folder, set
// before the application object exists, so no test touches the user's own.
#pragma once

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#define TAVRICK_ISOLATED_TEST_MAIN(TestClass)                                \
    int main(int argc, char** argv) {                                        \
        QTemporaryDir configuration;                                         \
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(configuration.path())); \
        qputenv("XDG_STATE_HOME", QFile::encodeName(configuration.path()));  \
        QApplication app(argc, argv);                                        \
        TestClass test;                                                      \
        return QTest::qExec(&test, argc, argv);                              \
    }
