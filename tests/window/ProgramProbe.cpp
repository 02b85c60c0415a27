// SPDX-License-Identifier: GPL-3.0-or-later
// The program's window run the way main() runs it, with a scripted session, for the tests
// that must watch a whole process end. Prints what happens, one line at a time.
//
//   exit-during-run   a backup run yields; the tray's Exit is chosen inside it
//   close-during-run  the same with the window's close button
//   close             the window is closed with nothing running
//   hidden-message    the window is hidden and a message box is opened and closed
//   identity          prints the names the program goes by, then ends
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <functional>
#include <thread>

#include "MessageBox.h"
#include "Messages.h"
#include "Program.h"
#include "StatusPanels.h"
#include "frmMain.h"
#include "modSystray.h"

namespace {

void Say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

// A run that yields until the window has closed (or a few seconds have passed).
void YieldingRun(frmMain& window, const FileSync::RunOptions& options) {
    Say("run started");
    for (int i = 0; i < 3000 && !window.isUnloaded(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        options.yield();
    }
    Say("run resumed");
}

// Starts a backup by the Start button; `during` comes from the event queue while it runs.
void StartBackupThen(frmMain& window, const std::function<void()>& during) {
    window.backupRunner().SetSyncEntry([&window, during](const std::string&, const std::string&,
                                                         const FileSync::RunOptions& options) {
        QTimer::singleShot(0, &window, during);
        YieldingRun(window, options);
    });
    QTimer::singleShot(0, &window, [&window] {
        window.findChild<QLineEdit*>("txtSource")->setText("/source");
        window.findChild<QLineEdit*>("txtDestination")->setText("/destination");
        window.cmdStart_Click();
        Say("handler returned");
    });
}

void HideAndShowAMessage(frmMain& window) {
    QTimer::singleShot(0, &window, [&window] {
        window.menuHide_Click();
        QTimer::singleShot(50, [] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (qobject_cast<QMessageBox*>(widget))
                    widget->close();
        });
        ShowMessage(QStringLiteral("探针"));
        Say("message closed");
        QTimer::singleShot(200, &window, [&window] {
            Say("still running");
            window.close();
        });
    });
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    PrepareApplication();
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == "identity") {
        std::printf("settings: %s\nlog-on entry: %s\n",
                    qPrintable(QCoreApplication::applicationName()),
                    qPrintable(modSystray::AutostartEntryName()));
        return 0;
    }

    int exitCode = 0;
    {
        frmMain window;
        MessageBoxPresenter messageBox(&window);
        SetMessagePresenter(&messageBox);
        if (mode == "exit-during-run")
            StartBackupThen(window, [&window] {
                Say("exit chosen");
                window.menuExit_Click();
            });
        else if (mode == "close-during-run")
            StartBackupThen(window, [&window] { window.close(); });
        else if (mode == "close")
            QTimer::singleShot(0, &window, [&window] { window.close(); });
        else if (mode == "hidden-message")
            HideAndShowAMessage(window);
        else
            return 2;
        exitCode = RunMainWindow(window);
        Say("loop ended");
        const QString status = window.findChild<StatusPanels*>("status")->message();
        std::printf("status: %s\n", status.toUtf8().constData());
        SetMessagePresenter(nullptr);
    }
    return exitCode;
}
