// SPDX-License-Identifier: GPL-3.0-or-later
// Watches one folder for changes and reports each change in a message box.
//
// The watch runs on the user-interface thread inside the handler that started it, waiting in
// 100 ms slices and letting pending events run after each, so every other handler (a Stop
// included) runs nested inside the watch.
#pragma once

#include <QString>
#include <cstdint>

#include "ChangeNotification.h"

namespace FileDetect {

using ChangeHandle = ChangeNotification::Handle;
using WaitResult = ChangeNotification::WaitResult;

// The handle of the running watch: 0 when none, -1 right after a failed open. Read anew by the
// wait loops before every slice, so a stop that clears it reaches a loop that is running.
// Read-only outside this module.
extern ChangeHandle WatchHandle;
// Ends the wait loops. Cleared when a watch starts; raised when the watch is stopped or ends
// on its own. Read-only outside this module.
extern bool WatchStopFlag;

// Runs the watch of `path` and returns only when it has ended: after StopWatching, when the
// folder cannot be watched, or when the folder is deleted or moved away. While a watch runs
// (and has not been stopped) a further call starts nothing and returns at once.
void WatchFolder(QString path);
// Ends the running watch, if any; always safe to call, also from a handler nested in a watch.
// Returns at once: the loop ends when control returns to it.
void StopWatching();

}  // namespace FileDetect
