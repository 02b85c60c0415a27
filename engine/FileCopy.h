// SPDX-License-Identifier: GPL-3.0-or-later
// One file's copy, the engine's way: written beside the target as a private temporary, installed
// only when the source did not change while it was read, and kept from looking current when
// the source may still change within the same second. Also the engine's temporary area.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "DestinationRules.h"
#include "FileSystem.h"

namespace FileSync {

// The folder in a destination's top that holds the temporaries of replacing copies: the one
// place where a run may remove what it finds, and only the temporaries no copy is writing.
inline constexpr std::string_view kTemporaryArea = ".tavrick-partial-copies";

// A link where the engine would write a destination folder or file: never followed, and
// reported under the link's path.
class LinkInDestinationError : public FileSystemError {
public:
    explicit LinkInDestinationError(std::string path);
};

enum class CopyOutcome {
    Copied,
    LeftAlone,     // the target turned out at least as new as the source; it stays
    Abandoned,     // the caller asked to stop between two slices; nothing was installed
    KeptChanging,  // the source changed during every attempt; the old copy stays
};

struct CopyResult {
    CopyOutcome outcome = CopyOutcome::Copied;
    std::uint64_t bytes = 0;
    // The facts the copy was given, for the check that its time held.
    FileFacts given;
};

// What the copy found at its target when it last looked.
enum class TargetSeen : std::uint8_t {
    Older,    // a file the source replaces
    Missing,  // nothing: the copy is linked in without ever having had a name
    Unsure,   // no file, or the look failed: the copy looks again before it starts
};

struct CopyRequest {
    const Folder& from;
    const Folder& to;
    std::string_view name;
    TargetSeen target = TargetSeen::Older;
    // The folder whose temporary area takes the temporary (on `to`'s device), or null.
    const Folder* areaOwner = nullptr;
    // The step `to`'s file system keeps times in, for the last look at the target.
    TimeStep targetTimes;
};

// Data is copied in slices of this many bytes, with `betweenSlices` asked in between; it
// answers false to abandon the copy.
inline constexpr std::uint64_t kCopySlice = std::uint64_t{8} << 20;

// What a finished copy may do with its target, decided by looking at the target again just
// before it is installed: whatever the comparison found may have changed since.
enum class TargetVerdict : std::uint8_t {
    Create,   // nothing there: the copy takes the free name, never replacing
    Replace,  // a file older than the source (or of another size at the same time)
    Keep,     // a file the source must not replace
};

// Decides what a copy of a source with `source` facts may do with `name` in `to` now, comparing
// times as `to`'s file system keeps them. Throws
// LinkInDestinationError for a link there, EISDIR for a folder, and the failure of a look that
// failed: a target that cannot be looked at is never taken for a missing one.
TargetVerdict MayInstallOver(FileSystem& fileSystem, const Folder& to, std::string_view name,
                             const FileFacts& source, TimeStep targetTimes = {});

// Opens the destination folder `name` in `parent`, making it with `attributes` if missing,
// never through a link (LinkInDestinationError).
Folder CreateDestinationFolder(FileSystem& fileSystem, const Folder& parent, std::string_view name,
                               std::uint32_t attributes, bool& created);

// Copies one file. Failures throw FileSystemError naming the source path for reading and the
// target path for writing.
CopyResult CopyOneFile(FileSystem& fileSystem, const CopyRequest& request,
                       const std::function<bool()>& betweenSlices);

// A fresh name for a temporary, one that ClearTemporaryArea takes for the engine's own.
std::string NewTemporaryName();

// Removes the temporaries in `owner`'s temporary area that no copy is writing any more, and
// the area once it is empty.
void ClearTemporaryArea(FileSystem& fileSystem, const Folder& owner);

}  // namespace FileSync
