// SPDX-License-Identifier: GPL-3.0-or-later
// How one source file stands against its destination namesake, and whether it needs a copy:
// decided here once, for the walk, for a single folder level and for the comparison table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace FileSync {

class FileSystem;
class Folder;
struct FileFacts;
struct TimeStep;

// Status codes of a ComparisonTable row. A file on both sides carries the bitwise OR of one
// time relation (0, SourceNewer, DestinationNewer) and the two flags.
inline constexpr std::int32_t OnlyInSource = -2;
inline constexpr std::int32_t SourceNewer = 1;
inline constexpr std::int32_t DestinationNewer = 2;
inline constexpr std::int32_t SizeDiffers = 4;
inline constexpr std::int32_t AttributesDiffer = 8;

struct ComparisonRow {
    std::string name;  // as the source folder lists it
    std::int32_t status = 0;
};
using ComparisonTable = std::vector<ComparisonRow>;

// The status of a row whose destination name holds no plain file (a link, a folder), or could
// not be looked at: the copy looks again and says why it cannot go on, if it cannot.
inline constexpr std::int32_t kTargetUnsure = -3;

// The status of a file with facts `source` against its destination copy (see ComparisonRow).
std::int32_t CompareFileFacts(const FileFacts& source, const FileFacts& destination);
// The status of one source file against its destination namesake (see ComparisonRow), or
// kTargetUnsure, with the source's time as a destination of that step would keep it. The
// destination is looked at without following a link; a look that fails throws.
std::int32_t CompareFile(FileSystem& fileSystem, const Folder& source, const Folder& destination,
                         std::string_view name, TimeStep destinationTimes);
// Whether a file of that status needs a copy.
bool MustCopy(std::int32_t status);

}  // namespace FileSync
