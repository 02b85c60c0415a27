// The program's entry: creates the main window, loads it and runs the event loop.
#include <QApplication>

#include "AppIcon.h"
#include "MessageBox.h"
#include "Messages.h"
#include "frmMain.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The window hides into the tray, and message boxes may be the only visible windows: the
    // program ends when the main window closes, not when the last visible window goes.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(AppIcon());

    MessageBoxPresenter messageBox;
    SetMessagePresenter(&messageBox);

    int exitCode = 0;
    {
        frmMain window;
        QObject::connect(&window, &frmMain::unloaded, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
        window.Form_Load();
        window.show();
        exitCode = QApplication::exec();
    }
    SetMessagePresenter(nullptr);
    return exitCode;
}
