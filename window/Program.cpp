#include "Program.h"

#include <QApplication>

#include "AppIcon.h"
#include "frmMain.h"

void PrepareApplication() {
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(AppIcon());
}

int RunMainWindow(frmMain& window) {
    QObject::connect(&window, &frmMain::unloaded, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.Form_Load();
    return QApplication::exec();
}
