// How the program runs its window: the application's settings, the load, the event loop and
// the end.
#pragma once

class frmMain;

// The window hides into the tray and message boxes may be the only visible windows, so the
// program does not end when the last visible window closes: it ends when frmMain has closed.
void PrepareApplication();

// Loads `window` (which shows it or leaves it hidden) and runs the event loop until the window
// has closed and no handler is left on the stack. Returns the loop's exit code.
int RunMainWindow(frmMain& window);
