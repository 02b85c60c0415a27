// SPDX-License-Identifier: GPL-3.0-or-later
// The backup engine: one-way, additive synchronisation of a folder tree.
//
// SyncFolderTree brings a destination tree up to date with a source tree: missing folders are
// copied whole, missing files and files whose source copy is newer (or of another size at the
// same whole-second time) are copied, and nothing is ever deleted or written into the source.
// A copy takes its name only when complete and only when its source did not change meanwhile.
// A link of the source is followed when it brings data in from outside the source, and is
// otherwise backed up as a link (SourceLinks.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Comparison.h"

namespace FileSync {

class ChangeJournal;
class FileSystem;

// Why something could not be handled. System failures carry the system's error code; the others
// are the engine's own refusals and findings, each with a fixed English reason.
enum class FailureKind : std::uint8_t {
    System,               // the file system refused; `code` holds the errno value
    TopUnreachable,       // the source or destination folder itself could not be opened or made
    DestinationInSource,  // a destination folder is one of the source folders being handled
    KeptChanging,         // the source file changed on every try while it was copied
    DriveNotAttached,     // the destination's drive is not where it was last found
    NamesFoldTogether,    // two source names that the destination holds as one name
    TimesNotKept,         // the destination file system does not keep modification times
    LinkInDestination,    // a link in the destination where a folder or file is written
    FolderCycle,          // a folder that leads back to one of the folders above it
    PseudoFileSystem,     // a kernel pseudo file system (proc, sysfs, ...) is never backed up
    Encrypted,            // an encrypted file that cannot be copied encrypted
    BadName,              // a name the platform cannot carry over
};

struct RunFailure {
    std::string path;    // the source or destination path that could not be handled
    std::string reason;  // in English: what the system said, e.g. "Permission denied"
    FailureKind kind = FailureKind::System;
    int code = 0;  // the errno value (generic category) of a System failure, else 0
    // The source name that NamesFoldTogether found `path` folding together with, and that was
    // backed up in its place.
    std::string other;
};

// What one run did. Counters grow while the run goes on, so a progress callback can show them.
struct RunReport {
    std::uint64_t foldersVisited = 0;
    std::uint64_t filesCompared = 0;
    std::uint64_t filesCopied = 0;
    std::uint64_t bytesCopied = 0;
    // Links of the source backed up as links (made or given a new target text).
    std::uint64_t linksMade = 0;
    std::vector<RunFailure> failures;
    // Remarks on the run that are no failures, each said once per run (in English, with the
    // first path it concerns): links the destination cannot hold, an earlier backup's folder
    // or file where the source now has a link, a kernel file system not entered.
    std::vector<std::string> notes;
    // The identity (FileSystem::FileSystemIdentity) of the file system the destination's top
    // folder was found or made on; when the run refused to make it, of the file system its
    // nearest existing parent lies on. Empty when unknown.
    std::string destinationFileSystem;
};

struct RunOptions {
    // The file system to work on (see FileSystem.h); null means the platform's own.
    FileSystem* fileSystem = nullptr;
    // Called after every file row, after every source subfolder and between the slices of a
    // large file's copy; lets a window stay responsive. May run further engine calls nested
    // inside this one: a copy in progress keeps its temporary to itself.
    std::function<void()> yield;
    // Asked after every yield; once it answers true the run starts no further copy or folder,
    // drops a copy in progress (its target keeps what it held), puts what it copied on stable
    // storage, clears its temporaries and returns. A stopped run is not a failed one.
    std::function<bool()> stopRequested;
    // Runs a step that may wait long on the device (putting the copies on stable storage) and
    // returns when it has ended, passing on what it throws. A window can run the step on
    // another thread and keep answering meanwhile; unset, the step runs on the caller's thread.
    // The step touches only the file system, never the other hooks or the report.
    std::function<void(const std::function<void()>& step)> runBlocking;
    // Called as the run progresses (at least after every file row); must be cheap.
    std::function<void(const RunReport&)> progress;
    // Filled in by the run when not null.
    RunReport* report = nullptr;
    // Threads that read folders ahead of a tree run, so it seldom waits for the file system:
    // a negative number lets the run choose (none for a small tree, more while the file system
    // is slow to answer, as over a network); 0 reads everything on the caller's thread. Only
    // file systems that allow it are read from other threads (FileSystem::SafeForReadAhead).
    // Copies, the hooks above and the report stay on the caller's thread, in the same order.
    int readAheadThreads = -1;
    // What was read ahead longer ago than this is read again when the run reaches it.
    std::chrono::milliseconds readAheadFreshFor{10000};
    // Whether a missing destination top may be made. False refuses, as for a drive that is not
    // attached: nothing is written and the run reports the destination as unreachable.
    bool createDestination = true;
    // The identity of the file system the destination was last found or made on, or empty.
    // When the destination's top is missing and the folder it would be made in lies on
    // another file system (a backup drive that is not attached, its mount point left empty),
    // nothing is made and the run reports DriveNotAttached.
    std::string destinationFileSystem;
    // What changed since the last complete run (ChangeJournal.h): the walk leaves alone the
    // folder pairs it calls unchanged. Null walks everything.
    const ChangeJournal* journal = nullptr;
};

// Compares the files directly in `source` with their namesakes in `destination`.
// Throws when either folder cannot be opened or listed, or a destination file cannot be
// looked at; a destination name that holds no file (a folder, a link) counts as missing.
ComparisonTable CompareFolderFiles(const std::string& source, const std::string& destination);
ComparisonTable CompareFolderFiles(const std::string& source, const std::string& destination,
                                   FileSystem& fileSystem);

// Copies the files of one folder level that the comparison says need copying.
// Throws when the comparison fails; a failed copy is recorded and the next row follows.
void SyncFolderFiles(const std::string& source, const std::string& destination);
void SyncFolderFiles(const std::string& source, const std::string& destination,
                     const RunOptions& options);

// Brings the whole destination tree up to date. Never throws; what failed is in the report.
void SyncFolderTree(const std::string& source, const std::string& destination);
void SyncFolderTree(const std::string& source, const std::string& destination,
                    const RunOptions& options);

}  // namespace FileSync
