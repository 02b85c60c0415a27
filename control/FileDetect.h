// Watches one folder for changes and reports each change in a message box.
#pragma once

#include <QString>
#include <cstdint>

namespace FileDetect {

// Runs the watch of `path` and returns only when it has ended (see StopWatching).
void WatchFolder(QString path);
// Ends the running watch, if any; always safe to call, also from a handler nested in a watch.
void StopWatching();

}  // namespace FileDetect
