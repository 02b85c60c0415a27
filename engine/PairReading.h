// SPDX-License-Identifier: GPL-3.0-or-later
// What the walk reads of one folder pair before it handles it: both folders opened, the source
// listed, and each of its files compared with its destination namesake. Reading changes
// nothing in either tree, so it may run ahead of the walk on another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <string_view>
#include <vector>

#include "DestinationRules.h"
#include "FileSystem.h"

namespace FileSync {

// A file of the listing that needs a copy: its row among the listed files, and its status.
struct PendingCopy {
    std::uint32_t row;
    std::int32_t status;
};

struct PairReading {
    Folder source;
    // Not open when there is no destination folder of that name yet.
    Folder destination;
    // Why the source folder could not be opened.
    std::exception_ptr openFailure;
    // The source was listed and its files compared, or listFailure says why not.
    bool compared = false;
    // The source's subfolders, and those of its files that need a copy.
    FolderListing listing;
    std::vector<PendingCopy> pendingCopies;
    // How many files the source listed.
    std::uint32_t rows = 0;
    std::exception_ptr listFailure;
    // A failure that is no file system's (e.g. memory ran out), for the walk to raise again.
    std::exception_ptr unexpected;
};

// The status of a row whose destination name holds no plain file (a link, a folder), or could
// not be looked at: the copy looks again and says why it cannot go on, if it cannot.
inline constexpr std::int32_t kTargetUnsure = -3;

// The status of a file with facts `source` against its destination copy (see ComparisonRow).
std::int32_t CompareFileFacts(const FileFacts& source, const FileFacts& destination);
// The status of one source file against its destination namesake (see ComparisonRow), or
// kTargetUnsure, with the source's time as a destination of that step would keep it. The
// destination is looked at without following a link; a look that fails throws.
std::int32_t CompareFile(FileSystem& fileSystem, const Folder& source, const Folder& destination,
                         std::string_view name, TimeStep destinationTimes = {});
// Whether a file of that status needs a copy.
bool MustCopy(std::int32_t status);

// Thrown out of a comparison when `cancelled` turned true while it ran.
struct ReadingCancelled {};

// Lists the open source of `reading`, comparing each file with the open destination on the
// way; the listing keeps the subfolders and the files that need a copy. Throws when the listing
// fails, and ReadingCancelled once `cancelled` (when given) is true.
void CompareFolderPair(FileSystem& fileSystem, PairReading& reading, TimeStep destinationTimes,
                       const std::atomic<bool>* cancelled = nullptr);

}  // namespace FileSync
