// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's entry points: each sets up a run (Run.h) and hands it to the comparison, the copy
// of one folder level or the walk of a tree (TreeWalk.h).
#include "FileSync.h"

#include <cerrno>
#include <exception>

#include "FileSystem.h"
#include "PairReading.h"
#include "Run.h"
#include "TreeWalk.h"

namespace FileSync {

ComparisonTable CompareFolderFiles(const std::string& source, const std::string& destination) {
    return CompareFolderFiles(source, destination, PlatformFileSystem());
}

ComparisonTable CompareFolderFiles(const std::string& source, const std::string& destination,
                                   FileSystem& fileSystem) {
    PairReading reading;
    reading.source = fileSystem.GetFolder(source);
    reading.destination = fileSystem.GetFolder(destination);
    // Listed only so that a destination that cannot be listed fails the comparison.
    FolderListing destinationListing;
    fileSystem.List(reading.destination, destinationListing);
    return CompareFolderRows(fileSystem, reading);
}

void SyncFolderFiles(const std::string& source, const std::string& destination) {
    SyncFolderFiles(source, destination, RunOptions{});
}

void SyncFolderFiles(const std::string& source, const std::string& destination,
                     const RunOptions& options) {
    Run run(options);
    PairReading reading;
    reading.source = run.fileSystem.GetFolder(source);
    reading.destination = run.fileSystem.GetFolder(destination);
    if (reading.source.Identity() == reading.destination.Identity())
        throw FileSystemError(EINVAL, reading.destination.Path());
    LearnDestination(run, reading.destination);
    run.SetDestinationTop(reading.destination);
    run.temporaries.Clear();
    CompareFolderPair(run.fileSystem, reading, run.destinationTimes);
    {
        DestinationFolder access(run, reading.destination, reading.source.Attributes(), false,
                                 false);
        CopyComparedFiles(run, reading, access,
                          FindFoldedNames(run, reading.source, reading.destination));
    }
    run.temporaries.Flush(reading.destination);
}

void SyncFolderTree(const std::string& source, const std::string& destination) {
    SyncFolderTree(source, destination, RunOptions{});
}

void SyncFolderTree(const std::string& source, const std::string& destination,
                    const RunOptions& options) {
    try {
        Run run(options);
        try {
            SyncTree(run, source, destination);
        } catch (const std::exception& error) {
            run.state.Fail(source, error.what(), FailureKind::System);
        } catch (...) {
            run.state.Fail(source, "unexpected failure", FailureKind::System);
        }
    } catch (...) {
        // Not even the report could be written to; the run ends quietly as promised.
    }
}

}  // namespace FileSync
