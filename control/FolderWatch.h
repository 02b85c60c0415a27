// SPDX-License-Identifier: GPL-3.0-or-later
// One platform watch on one folder, without Qt: what each change-notification backend does.
// The handle table, the sliced waits and the sleeping inside the event loop are shared
// (ChangeNotification.cpp); a backend only opens, drains, blocks and closes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace ChangeNotification {

// Filter bits, the values of the Windows notify filter.
inline constexpr unsigned kFileNameChanges = 1;    // a file created, deleted or renamed
inline constexpr unsigned kFolderNameChanges = 2;  // the same for subfolders
inline constexpr unsigned kAttributeChanges = 4;
inline constexpr unsigned kSizeChanges = 8;
inline constexpr unsigned kLastWriteChanges = 16;

class FolderWatch {
public:
    struct Drained {
        bool changed = false;  // a change in the filter happened, or changes were lost
        bool ended = false;    // the folder went away; no change can be seen any more
    };

    // Watches the entries directly in the folder at `path` (UTF-8) for the changes in
    // `filter`. Null when the folder cannot be watched: missing, empty path, not a folder, no
    // access.
    static std::unique_ptr<FolderWatch> Open(const std::string& path, unsigned filter);

    // Closes the platform's watch.
    virtual ~FolderWatch() = default;
    // Takes in what the platform queued since the last drain; never blocks.
    virtual Drained Drain() = 0;
    // What becomes ready when there may be something to drain: a descriptor on POSIX, an event
    // handle on Windows.
    virtual std::intptr_t Waitable() const = 0;
    // Blocks until Waitable() is ready or `milliseconds` have passed.
    virtual void Block(int milliseconds) = 0;
    // The longest a sleep may last before the next drain, for a platform that learns of the
    // folder's end only by looking; negative for no limit.
    virtual int LongestSleep() const { return -1; }
};

}  // namespace ChangeNotification
