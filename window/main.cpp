// The program's entry: creates the main window and runs it until it closes.
#include <QApplication>

#include "MessageBox.h"
#include "Messages.h"
#include "Program.h"
#include "frmMain.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    PrepareApplication();

    MessageBoxPresenter messageBox;
    SetMessagePresenter(&messageBox);
    int exitCode = 0;
    {
        // Lives until the event loop has ended, which waits for every suspended handler.
        frmMain window;
        exitCode = RunMainWindow(window);
    }
    SetMessagePresenter(nullptr);
    return exitCode;
}
