// SPDX-License-Identifier: GPL-3.0-or-later
// The program's entry: one instance per user, the main window run until it closes.
#include <QApplication>

#include "MessageBox.h"
#include "Program.h"
#include "SingleInstance.h"
#include "control/Messages.h"
#include "frmMain.h"

int main(int argc, char** argv) {
    const std::unique_ptr<QApplication> application = OpenApplication(argc, argv);
    PrepareApplication();

    SingleInstance instance(QCoreApplication::applicationName());
    if (!instance.Claim())
        return 0;  // the running program has been brought to the front

    int exitCode = 0;
    {
        // Lives until the event loop has ended, which waits for every suspended handler.
        frmMain window;
        QObject::connect(&instance, &SingleInstance::activationRequested, &window,
                         &frmMain::ShowInFront);
        MessageBoxPresenter messageBox(&window);
        SetMessagePresenter(&messageBox);
        exitCode = RunMainWindow(window);
        SetMessagePresenter(nullptr);
    }
    return exitCode;
}
