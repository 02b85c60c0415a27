// SPDX-License-Identifier: GPL-3.0-or-later
#include "PairReading.h"

#include "FileSync.h"

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

namespace {

// Compares each file of a source folder with its destination namesake while the folder is
// listed, and has the listing keep only the files that need a copy: a folder pair with nothing
// to do holds no file names, however large the folder.
class ListedFileComparer final : public FolderListing::FileFilter {
public:
    ListedFileComparer(FileSystem& fileSystem, PairReading& reading, TimeStep destinationTimes,
                       const std::atomic<bool>* cancelled)
        : fileSystem_(fileSystem),
          reading_(reading),
          destinationTimes_(destinationTimes),
          cancelled_(cancelled) {
        reading_.pendingCopies.clear();
        reading_.rows = 0;
        reading_.listing.SetFileFilter(this);
    }
    ~ListedFileComparer() { reading_.listing.SetFileFilter(nullptr); }
    ListedFileComparer(const ListedFileComparer&) = delete;
    ListedFileComparer& operator=(const ListedFileComparer&) = delete;

    bool Keep(std::string_view name) override {
        if (cancelled_ && cancelled_->load(std::memory_order_relaxed))
            throw ReadingCancelled();
        std::int32_t status = kTargetUnsure;
        try {
            status = CompareFile(fileSystem_, reading_.source, reading_.destination, name,
                                 destinationTimes_);
        } catch (const FileSystemError&) {
            // A failed look is no missing file; the copy looks again and reports it.
        }
        std::uint32_t row = reading_.rows++;
        if (!MustCopy(status))
            return false;
        reading_.pendingCopies.push_back({row, status});
        return true;
    }

private:
    FileSystem& fileSystem_;
    PairReading& reading_;
    TimeStep destinationTimes_;
    const std::atomic<bool>* cancelled_;
};

}  // namespace

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

void CompareFolderPair(FileSystem& fileSystem, PairReading& reading, TimeStep destinationTimes,
                       const std::atomic<bool>* cancelled) {
    ListedFileComparer comparer(fileSystem, reading, destinationTimes, cancelled);
    fileSystem.List(reading.source, reading.listing);
    reading.compared = true;
}

}  // namespace FileSync
