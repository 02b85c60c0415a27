// SPDX-License-Identifier: GPL-3.0-or-later
// Folder change notification: the platform's "tell me when something in this folder changes"
// handle, shaped like a Windows change-notification handle so each platform's twin can sit
// beside the others behind these five calls.
//
// A handle is signalled when at least one change in the filter has happened since it was
// opened or last re-armed, and stays signalled until re-armed; many changes make one signal. A
// change that happens after the signal (before the re-arm) signals it again at once after the
// re-arm. Only the folder itself is watched, never its subfolders.
#pragma once

#include <QString>
#include <cstdint>

#include "FolderWatch.h"

namespace ChangeNotification {

// 0 is no handle, kInvalidHandle a failed open; every open handle is above 0 and never reused.
using Handle = std::int32_t;
inline constexpr Handle kNoHandle = 0;
inline constexpr Handle kInvalidHandle = -1;

enum class WaitResult {
    Signalled,
    TimedOut,
    // The handle is closed, unknown, or can never be signalled again (the folder was deleted,
    // moved away or unmounted). Waiting again fails at once.
    Failed,
};

// Opens a watch on `path` (a folder) for the changes in `filter`. Returns kInvalidHandle when
// the folder cannot be watched: missing, empty path, not a folder, no access.
Handle OpenFolderWatch(const QString& path, unsigned filter);

// Clears the signal so that only changes after the last signal signal the handle again.
void RearmFolderWatch(Handle handle);

// Waits up to `milliseconds` for the handle to be signalled. The thread's Qt events are
// dispatched meanwhile, so handlers run nested inside the wait; closing the handle from one
// of them ends the wait at once with Failed.
WaitResult WaitForFolderChange(Handle handle, int milliseconds);

// Releases the handle; unknown handles are ignored.
void CloseFolderWatch(Handle handle);

}  // namespace ChangeNotification
