// SPDX-License-Identifier: GPL-3.0-or-later
// How the program runs its window: the application object, its settings, the load, the event
// loop and the end.
#pragma once

#include <QString>

#include <memory>

class QApplication;
class frmMain;

// The application object. Where no display can be opened, says so plainly on standard error
// and ends the process with code 1, instead of Qt's abort.
std::unique_ptr<QApplication> OpenApplication(int& argc, char** argv);

// The executable's base name, taken from the executable file itself, so that a start through
// a symbolic link or under another name finds the same settings and log-on entry.
QString ExecutableBaseName();

// The window hides into the tray and message boxes may be the only visible windows, so the
// program does not end when the last visible window closes: it ends when frmMain has closed.
// Also names the application after the executable and makes Qt's own dialogs speak the
// program's Simplified Chinese.
void PrepareApplication();

// Loads `window` (which shows it or leaves it hidden) and runs the event loop until the window
// has closed and no handler is left on the stack. Returns the loop's exit code.
int RunMainWindow(frmMain& window);
