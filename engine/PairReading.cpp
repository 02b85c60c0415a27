// SPDX-License-Identifier: GPL-3.0-or-later
#include "PairReading.h"

namespace FileSync {
namespace {

// Compares each file of a source folder with its destination namesake while the folder is
// listed, and has the listing keep only the files that need a copy: a folder pair with nothing
// to do holds no file names, however large the folder. With a table, every file's row goes
// there instead.
class ListedFileComparer final : public FolderListing::FileFilter {
public:
    ListedFileComparer(FileSystem& fileSystem, PairReading& reading, TimeStep destinationTimes,
                       const std::atomic<bool>* cancelled, ComparisonTable* table = nullptr)
        : fileSystem_(fileSystem),
          reading_(reading),
          destinationTimes_(destinationTimes),
          cancelled_(cancelled),
          table_(table) {
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
        std::int32_t status = Compare(name);
        std::uint32_t row = reading_.rows++;
        if (table_) {
            // No file of that name in the destination, as far as the table can tell.
            table_->push_back({std::string(name), status == kTargetUnsure ? OnlyInSource : status});
            return false;
        }
        if (!MustCopy(status))
            return false;
        reading_.pendingCopies.push_back({row, status});
        return true;
    }

private:
    std::int32_t Compare(std::string_view name) {
        if (table_)
            return CompareFile(fileSystem_, reading_.source, reading_.destination, name,
                               destinationTimes_);
        try {
            return CompareFile(fileSystem_, reading_.source, reading_.destination, name,
                               destinationTimes_);
        } catch (const FileSystemError&) {
            // A failed look is no missing file; the copy looks again and reports it.
            return kTargetUnsure;
        }
    }

    FileSystem& fileSystem_;
    PairReading& reading_;
    TimeStep destinationTimes_;
    const std::atomic<bool>* cancelled_;
    ComparisonTable* table_;
};

}  // namespace

void CompareFolderPair(FileSystem& fileSystem, PairReading& reading, TimeStep destinationTimes,
                       const std::atomic<bool>* cancelled) {
    ListedFileComparer comparer(fileSystem, reading, destinationTimes, cancelled);
    fileSystem.List(reading.source, reading.listing);
    reading.compared = true;
}

ComparisonTable CompareFolderRows(FileSystem& fileSystem, PairReading& reading) {
    ComparisonTable table;
    ListedFileComparer comparer(fileSystem, reading, TimeStep{}, nullptr, &table);
    fileSystem.List(reading.source, reading.listing);
    reading.compared = true;
    return table;
}

}  // namespace FileSync
