// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the program's icon, as the window and the tray show it, into an icon theme folder:
// FOLDER/<size>x<size>/apps/tavrick.png for every size the program draws. Runs at build time
// without a display.
#include <QDir>
#include <QGuiApplication>

#include <cstdio>

#include "window/AppIcon.h"

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s THEME-FOLDER\n", argv[0]);
        return 2;
    }
    const QString theme = QString::fromLocal8Bit(argv[1]);
    for (const int size : kAppIconSizes) {
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(theme).arg(size);
        if (!QDir().mkpath(folder) ||
            !DrawAppIconPixmap(size).save(folder + QStringLiteral("/tavrick.png"), "PNG")) {
            std::fprintf(stderr, "cannot write the %dx%d icon in %s\n", size, size,
                         qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
