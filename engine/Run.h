// SPDX-License-Identifier: GPL-3.0-or-later
// One outermost run of the engine: its parts (RunState.h) and what the walk keeps while it goes,
// and the copies it makes into destination folders.
#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "DestinationRules.h"
#include "FileCopy.h"
#include "FileSystem.h"
#include "PairReading.h"
#include "ReadAhead.h"
#include "RunState.h"
#include "SourceLinks.h"

namespace FileSync {

// Folders are made with their source's bits plus owner rwx, so the run can fill them, and get
// their source's bits once filled. A destination folder with exactly those bits was left so by
// an interrupted run.
inline constexpr std::uint32_t kOwnerAll = 0700;

class DestinationFolder;

class Run {
public:
    explicit Run(const RunOptions& options)
        : state(options),
          guard(state),
          temporaries(state),
          fileSystem(state.Files()),
          report(state.Report()) {}
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    ~Run() = default;

    RunState state;
    WalkGuard guard;
    TemporaryArea temporaries;
    FileSystem& fileSystem;
    RunReport& report;
    // Reads the folder pairs of a tree run, ahead of the walk where that pays.
    ReadAhead* readAhead = nullptr;
    // Which links of the source the walk follows.
    LinkRule links;
    // The step the destination's top file system keeps times in (see LearnDestination).
    TimeStep destinationTimes;

    // The destination's top, kept out of the walk and owner of the temporary area.
    void SetDestinationTop(const Folder& top) {
        guard.SetDestinationTop(top);
        temporaries.SetTop(top);
    }
    // What the caller asked of reading ahead, for a process that may hold `handles` open.
    ReadAheadSettings ReadAheadWanted(std::size_t handles) const;
    // The source listing of the folder at the current depth. Listings are kept per depth and
    // reused, so a walk allocates for the deepest and widest folders only, not for every one.
    FolderListing& EnterListing();
    void LeaveListing() { --depth_; }

    // Whether the destination folder `folder` holds names equal but for case as one: as its
    // file system says, else as the probe at the destination's top found for its device.
    bool FoldsCase(const Folder& folder);
    void SetFoldsCase(const Folder& folder, bool folds);
    // The step `to` keeps times in: the one learnt for the destination top's file system,
    // exact on any other.
    TimeStep StepOf(const Folder& to) const;

    // Runs a step that opens handles. One that finds the process out of them runs once more,
    // after the read-ahead gave back what it held: a run never fails for what it read ahead.
    template <typename Step>
    auto WithHandles(Step&& step) {
        try {
            return step();
        } catch (const FileSystemError& error) {
            int code = error.code().value();
            if ((code != EMFILE && code != ENFILE) || !readAhead)
                throw;
        }
        readAhead->Reclaim();
        return step();
    }

    // Copies one file, counting it; a failure is recorded and the caller goes on.
    void CopyFile(const Folder& from, const Folder& to, std::string_view name, TargetSeen target);
    // Backs up the source link `name` of `from` as a link in `to`; a failure is recorded.
    void KeepLink(const Folder& from, std::string_view name, DestinationFolder& to,
                  const LinkTarget& target);
    // Copies the file a followed link leads to when the comparison says so.
    void CopyLinkedFile(const Folder& from, std::string_view name, DestinationFolder& to);

private:
    void CheckInstalledTime(const Folder& to, std::string_view name, const FileFacts& given);

    std::vector<std::unique_ptr<FolderListing>> listings_;
    std::size_t depth_ = 0;
    std::map<std::uint64_t, bool> foldsCase_;  // per destination device
    bool reportedTimesNotKept_ = false;
};

// The walk holds two more handles (a folder pair of its own) while this lives.
class HoldingPair {
public:
    explicit HoldingPair(Run& run);
    ~HoldingPair();
    HoldingPair(const HoldingPair&) = delete;
    HoldingPair& operator=(const HoldingPair&) = delete;

private:
    ReadAhead* readAhead_;
};

// A destination folder the run works in. Writing needs owner rwx: a folder without them gets
// them for as long as the run works there. When the run leaves, failures included, the folder
// gets its own bits back, or its source's bits when the run made it or an interrupted run left
// it with the bits folders are made with.
class DestinationFolder {
public:
    DestinationFolder(Run& run, const Folder& folder, std::uint32_t sourceAttributes, bool created,
                      bool mayRepair = true);
    DestinationFolder(const DestinationFolder&) = delete;
    DestinationFolder& operator=(const DestinationFolder&) = delete;
    // A repair that fails (a folder not the user's to change) goes unreported.
    ~DestinationFolder() { Set(final_, created_ || current_ != folder_.Attributes()); }

    const Folder& folder() const { return folder_; }
    // Called before anything is written into the folder.
    void NeedWrite();

private:
    void Set(std::uint32_t attributes, bool reportFailure = true);

    Run& run_;
    const Folder& folder_;
    std::uint32_t current_;
    std::uint32_t final_;
    bool created_;
    bool triedWrite_ = false;
};

// Learns what the destination's file system keeps before anything is compared: the step of its
// times and whether it folds case, from the file system where it says, else from probes in the
// top's temporary area.
void LearnDestination(Run& run, const Folder& top);
// Goes through the rows of the comparison in order, copying those that need it; a name that
// loses to another it folds together with is left alone.
void CopyComparedFiles(Run& run, const PairReading& reading, DestinationFolder& destination,
                       const FoldedNames& folded);
// The names of `source` that lose to another they fold together with, recorded as failures;
// none unless `destination` folds case. `listing` is the source's whole listing when given;
// else the source is listed again, as a pair's own listing keeps only the files to copy.
FoldedNames FindFoldedNames(Run& run, const Folder& source, const Folder& destination,
                            const FolderListing* listing = nullptr);

}  // namespace FileSync
