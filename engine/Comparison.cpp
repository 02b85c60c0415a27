// SPDX-License-Identifier: GPL-3.0-or-later
#include "Comparison.h"

#include "DestinationRules.h"
#include "FileSystem.h"

namespace FileSync {

std::int32_t CompareFileFacts(const FileFacts& source, const FileFacts& destination) {
    std::int32_t status = 0;
    if (destination.modifiedSeconds < source.modifiedSeconds)
        status = SourceNewer;
    else if (destination.modifiedSeconds > source.modifiedSeconds)
        status = DestinationNewer;
    if (source.attributes != destination.attributes)
        status |= AttributesDiffer;
    if (source.size != destination.size)
        status |= SizeDiffers;
    return status;
}

bool MustCopy(std::int32_t status) {
    if (status == 0)
        return false;
    if (status == OnlyInSource || status == kTargetUnsure)
        return true;
    if (status == AttributesDiffer)
        return false;
    if ((status & 3) == DestinationNewer)
        return false;
    return true;
}

std::int32_t CompareFile(FileSystem& fileSystem, const Folder& source, const Folder& destination,
                         std::string_view name, TimeStep destinationTimes) {
    FileFacts sourceFacts;
    FileFacts destinationFacts;
    FolderIdentity identity;
    switch (fileSystem.LookAt(destination, name, destinationFacts, identity)) {
        case EntryKind::Missing:
            return OnlyInSource;
        case EntryKind::File:
            break;
        default:
            return kTargetUnsure;
    }
    if (!fileSystem.GetFile(source, name, sourceFacts))
        return SizeDiffers | AttributesDiffer;  // gone since the listing: the copy says why
    return CompareFileFacts(AtDestination(sourceFacts, destinationFacts, destinationTimes),
                            destinationFacts);
}

}  // namespace FileSync
