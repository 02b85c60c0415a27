// One file's copy, the engine's way: written beside the target as a private temporary, installed
// only when the source did not change while it was read, and kept from looking current when
// the source may still change within the same second. Also the engine's temporary area.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "FileSystem.h"

namespace FileSync {

// The folder in a destination's top that holds the temporaries of replacing copies: the one
// place where a run may remove what it finds, and only the temporaries no copy is writing.
inline constexpr std::string_view kTemporaryArea = ".tavrick-partial-copies";

enum class CopyOutcome {
    Copied,
    Abandoned,     // the caller asked to stop between two slices; nothing was installed
    KeptChanging,  // the source changed during every attempt; the old copy stays
};

struct CopyResult {
    CopyOutcome outcome = CopyOutcome::Copied;
    std::uint64_t bytes = 0;
    // The facts the copy was given, for the check that its time held.
    FileFacts given;
};

struct CopyRequest {
    const Folder& from;
    const Folder& to;
    std::string_view name;
    // The comparison found no target: the copy is linked in without ever having had a name.
    bool targetMissing = false;
    // The folder whose temporary area takes the temporary (on `to`'s device), or null.
    const Folder* areaOwner = nullptr;
};

// Data is copied in slices of this many bytes, with `betweenSlices` asked in between; it
// answers false to abandon the copy.
inline constexpr std::uint64_t kCopySlice = std::uint64_t{8} << 20;

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
