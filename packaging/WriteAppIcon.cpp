// Writes the program's icon, as the window and the tray show it, to a PNG file for the desktop
// entry. Runs at build time without a display.
#include <QGuiApplication>

#include <cstdio>

#include "AppIcon.h"

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ICON.png\n", argv[0]);
        return 2;
    }
    return DrawAppIconPixmap().save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
