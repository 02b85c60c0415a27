// Placeholder until the watcher lands.
#include "FileDetect.h"

namespace FileDetect {
void WatchFolder(QString) {}
void StopWatching() {}
}  // namespace FileDetect
