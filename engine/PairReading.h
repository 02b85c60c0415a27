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

#include "Comparison.h"
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

// Thrown out of a comparison when `cancelled` turned true while it ran.
struct ReadingCancelled {};

// Lists the open source of `reading`, comparing each file with the open destination on the
// way; the listing keeps the subfolders and the files that need a copy. Throws when the listing
// fails, and ReadingCancelled once `cancelled` (when given) is true.
void CompareFolderPair(FileSystem& fileSystem, PairReading& reading, TimeStep destinationTimes,
                       const std::atomic<bool>* cancelled = nullptr);
// The same comparison with a row for every file of the source, in listing order, and exact
// times: a destination name that holds no file counts as missing, and a look at one that fails
// throws. The listing keeps the subfolders only.
ComparisonTable CompareFolderRows(FileSystem& fileSystem, PairReading& reading);

}  // namespace FileSync
