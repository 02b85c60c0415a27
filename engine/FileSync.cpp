// SPDX-License-Identifier: GPL-3.0-or-later
// The backup engine: a depth-first walk over pairs of open folders. The walk, with every copy
// and report, stays on the caller's thread; reading the pairs it reaches next may go ahead of
// it on other threads (ReadAhead.h).
//
// Every step of a tree run that can fail is caught where it fails, recorded in the run report
// and followed by the next step, so one unreadable file or folder never hides the rest.
#include "FileSync.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>

#include "DestinationRules.h"
#include "FileCopy.h"
#include "FileSystem.h"
#include "PairReading.h"
#include "ReadAhead.h"
#include "SourceLinks.h"

namespace FileSync {
namespace {

using Kind = FolderListing::Kind;

// Folders are made with their source's bits plus owner rwx, so the run can fill them, and get
// their source's bits once filled. A destination folder with exactly those bits was left so by
// an interrupted run.
constexpr std::uint32_t kOwnerAll = 0700;
constexpr const char* kDestinationInSource = "destination folder is a folder of the source";
constexpr const char* kSourceKeptChanging = "changed while being copied";
constexpr const char* kLinkInDestination = "a link in the destination, not followed";
constexpr const char* kTimesNotKept = "the destination does not keep modification times";
constexpr const char* kDriveNotAttached =
    "the destination's drive is not attached: the folder it would be made in lies on another "
    "file system than the one it was last found on";
constexpr const char* kFolderCycle = "leads back to a folder above it";
constexpr const char* kPseudoFileSystem = "is on a kernel file system (proc, sysfs, ...)";

// The run's remarks that are no failures, each noted once per run.
enum class RunNote : std::uint8_t { LinksNotMade, OtherKindKept, PseudoNotEntered, Count };

const char* NoteText(RunNote note) {
    switch (note) {
        case RunNote::LinksNotMade:
            return "Links left out: the destination cannot hold links, e.g. ";
        case RunNote::OtherKindKept:
            return "Left as it was: an earlier backup's folder or file where the source now has "
                   "a link, e.g. ";
        default:
            return "Not entered: a kernel file system mounted in the source at ";
    }
}

class DestinationFolder;

// The state of one outermost call. Nested runs started from the yield hook have their own.
class Run {
public:
    explicit Run(const RunOptions& options)
        : options_(options),
          fileSystem(options.fileSystem ? *options.fileSystem : PlatformFileSystem()),
          report(options.report ? *options.report : ownReport_) {
        betweenSlices_ = [this] {
            Yield();
            return !Stopped();
        };
    }

private:
    const RunOptions& options_;
    RunReport ownReport_;

public:
    FileSystem& fileSystem;
    RunReport& report;
    // Reads the folder pairs of a tree run, ahead of the walk where that pays.
    ReadAhead* readAhead = nullptr;
    // Which links of the source the walk follows.
    LinkRule links;

    // What the caller asked of reading ahead, for a process that may hold `handles` open.
    ReadAheadSettings ReadAheadWanted(std::size_t handles) const {
        return {options_.readAheadThreads, options_.readAheadFreshFor, handles, destinationTimes};
    }
    // The file system the destination was last found on, as the caller remembers it.
    const std::string& RememberedFileSystem() const { return options_.destinationFileSystem; }
    // The step the destination's top file system keeps times in (see LearnDestination).
    TimeStep destinationTimes;

    // The source listing of the folder at the current depth. Listings are kept per depth and
    // reused, so a walk allocates for the deepest and widest folders only, not for every one.
    FolderListing& EnterListing() {
        if (depth_ == listings_.size())
            listings_.push_back(std::make_unique<FolderListing>());
        return *listings_[depth_++];
    }
    void LeaveListing() { --depth_; }

    void Yield() {
        if (options_.yield)
            options_.yield();
        if (!stopped_ && options_.stopRequested && options_.stopRequested())
            stopped_ = true;
    }
    bool MayCreateDestination() const { return options_.createDestination; }
    // True once the caller asked the run to stop: nothing further is started.
    bool Stopped() const { return stopped_; }
    void Progress() const {
        if (options_.progress)
            options_.progress(report);
    }
    void Fail(const FileSystemError& error, FailureKind kind = FailureKind::System) {
        if (error.Refused() == FileSystemError::Refusal::Encrypted)
            Fail(error.Path(), "the file is encrypted and its copy would not be",
                 FailureKind::Encrypted);
        else if (dynamic_cast<const LinkInDestinationError*>(&error))
            Fail(error.Path(), kLinkInDestination, FailureKind::LinkInDestination);
        else
            report.failures.push_back(
                {error.Path(), error.Reason(), kind, error.code().value(), {}});
    }
    void Fail(std::string path, std::string reason, FailureKind kind) {
        report.failures.push_back({std::move(path), std::move(reason), kind, 0, {}});
    }
    // Records a failure kept from reading: a file system's, or raised again.
    void Fail(const std::exception_ptr& failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const FileSystemError& error) {
            Fail(error);
        }
    }

    void Note(RunNote note, const std::string& path) {
        if (!std::exchange(noted_[static_cast<int>(note)], true))
            report.notes.push_back(NoteText(note) + path);
    }

    // A source subfolder the walk must not enter: the destination's top (the backup would be
    // copied into itself), a mount of a kernel pseudo file system, or one of the source folders
    // from the run's top down to the folder being handled, which would never end: the last
    // guard against cycles, recorded as a failure.
    bool MustSkip(const Folder& folder) {
        if (IsDestinationTop(folder))
            return true;
        if (folder.OnPseudoFileSystem()) {
            Note(RunNote::PseudoNotEntered, folder.Path());
            return true;
        }
        if (!IsOnSourcePath(folder.Identity()))
            return false;
        Fail(folder.Path(), kFolderCycle, FailureKind::FolderCycle);
        return true;
    }
    // A destination folder that is one of the source folders being handled must never be
    // written into: the copy would overwrite the source. Records the failure.
    bool RefuseSourceAsDestination(const Folder& destination) {
        if (!IsOnSourcePath(destination.Identity()))
            return false;
        Fail(destination.Path(), kDestinationInSource, FailureKind::DestinationInSource);
        return true;
    }
    // The destination's top met in the source. Where the file system gives folders no identity
    // the path it was opened by is the last way to see it, so a backup never copies itself.
    bool IsDestinationTop(const Folder& folder) const {
        if (!hasDestinationTop_)
            return false;
        if (destinationTop_.Known())
            return folder.Identity() == destinationTop_;
        return destinationTopFolder_ && folder.Path() == destinationTopFolder_->Path();
    }
    void SetDestinationTop(const Folder& folder) {
        destinationTop_ = folder.Identity();
        hasDestinationTop_ = true;
        destinationTopFolder_ = &folder;
    }

    // Clears away what killed runs left in the destination top's temporary area; at the end of
    // a run that tried a copy, this also takes away the area the run may have made.
    void ClearTemporaryArea() {
        if (!destinationTopFolder_ || !destinationTopFolder_->IsOpen())
            return;
        try {
            FileSync::ClearTemporaryArea(fileSystem, *destinationTopFolder_);
        } catch (const FileSystemError& error) {
            Fail(error);
        }
    }
    // Whether the destination folder `folder` holds names equal but for case as one: as its
    // file system says, else as the probe at the destination's top found for its device.
    bool FoldsCase(const Folder& folder) {
        auto known = foldsCase_.find(folder.Identity().device);
        if (known != foldsCase_.end())
            return known->second;
        NameCase answer = fileSystem.NamesCase(folder);
        return foldsCase_[folder.Identity().device] = answer == NameCase::Folded;
    }
    void SetFoldsCase(const Folder& folder, bool folds) {
        foldsCase_[folder.Identity().device] = folds;
    }
    // Records each source name of `names` that loses to another name it folds together with.
    void FailFoldedNames(const Folder& source, const FoldedNames& names) {
        for (const auto& clash : names.Clashes()) {
            std::string reason = "has the same name as \"" + clash.winner +
                                 "\" where letter case is ignored; only that one is backed up";
            report.failures.push_back({source.PathOf(clash.loser), std::move(reason),
                                       FailureKind::NamesFoldTogether, 0, clash.winner});
        }
    }
    void Enter(const FolderIdentity& folder) { sourcePath_.push_back(folder); }
    void Leave() { sourcePath_.pop_back(); }

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
    // The walk holds two more handles (a folder pair of its own) while this lives.
    class HoldingPair {
    public:
        explicit HoldingPair(Run& run) : readAhead_(run.readAhead) {
            if (readAhead_)
                readAhead_->WalkHolds(2);
        }
        ~HoldingPair() {
            if (readAhead_)
                readAhead_->WalkHolds(-2);
        }
        HoldingPair(const HoldingPair&) = delete;
        HoldingPair& operator=(const HoldingPair&) = delete;

    private:
        ReadAhead* readAhead_;
    };

    // Copies one file, counting it; a failure is recorded and the caller goes on.
    void CopyFile(const Folder& from, const Folder& to, std::string_view name, TargetSeen target) {
        triedCopy_ = true;
        try {
            // Temporaries go to the destination top's area when on its device, so a killed run
            // leaves them in one small place, which every run clears; or, where the file system
            // wants them there, to the folder they are going to.
            const Folder* top = destinationTopFolder_;
            const Folder* area = top && top->Identity().device == to.Identity().device &&
                                         !fileSystem.TemporariesInTargetFolder()
                                     ? top
                                     : nullptr;
            CopyRequest request{from, to, name, target, area, StepOf(to)};
            CopyResult result =
                WithHandles([&] { return CopyOneFile(fileSystem, request, betweenSlices_); });
            if (result.outcome == CopyOutcome::KeptChanging) {
                Fail(from.PathOf(name), kSourceKeptChanging, FailureKind::KeptChanging);
            } else if (result.outcome == CopyOutcome::Copied) {
                report.bytesCopied += result.bytes;
                ++report.filesCopied;
                copiedAnything_ = true;
                CheckInstalledTime(to, name, result.given);
            }
        } catch (const FileSystemError& error) {
            Fail(error);
        }
    }

    // Backs up the source link `name` of `from` as a link in `to`; a failure is recorded.
    void KeepLink(const Folder& from, std::string_view name, DestinationFolder& to,
                  const LinkTarget& target);
    // Copies the file a followed link leads to when the comparison says so.
    void CopyLinkedFile(const Folder& from, std::string_view name, DestinationFolder& to);

    // What the run copied is on stable storage once this returns, and the temporary area a
    // copy made, failed copies included, is gone again.
    void Flush(const Folder& destination) {
        if (triedCopy_)
            ClearTemporaryArea();
        if (!copiedAnything_ || !destination.IsOpen())
            return;
        try {
            const auto syncStep = [this, &destination] { fileSystem.SyncToStorage(destination); };
            if (options_.runBlocking)
                options_.runBlocking(syncStep);
            else
                syncStep();
        } catch (const FileSystemError& error) {
            Fail(error);
        }
    }

private:
    // The time a copy was given must hold, or the next run could not tell it is current. A
    // destination where it does not is reported once per run, not once per file.
    void CheckInstalledTime(const Folder& to, std::string_view name, const FileFacts& given) {
        if (KeepInstalledTime(fileSystem, to, name, given, StepOf(to)) || reportedTimesNotKept_)
            return;
        reportedTimesNotKept_ = true;
        Fail(to.PathOf(name), kTimesNotKept, FailureKind::TimesNotKept);
    }

    // The step `to` keeps times in: the one learnt for the destination top's file system, exact
    // on any other.
    TimeStep StepOf(const Folder& to) const {
        return to.Identity().device == destinationTop_.device ? destinationTimes : TimeStep{};
    }

    bool IsOnSourcePath(const FolderIdentity& folder) const {
        return std::find(sourcePath_.begin(), sourcePath_.end(), folder) != sourcePath_.end();
    }

    std::vector<std::unique_ptr<FolderListing>> listings_;
    std::size_t depth_ = 0;
    std::vector<FolderIdentity> sourcePath_;
    FolderIdentity destinationTop_;
    bool hasDestinationTop_ = false;
    const Folder* destinationTopFolder_ = nullptr;
    std::function<bool()> betweenSlices_;
    std::map<std::uint64_t, bool> foldsCase_;  // per destination device
    bool reportedTimesNotKept_ = false;
    bool triedCopy_ = false;
    bool copiedAnything_ = false;
    bool stopped_ = false;
    bool noted_[static_cast<int>(RunNote::Count)] = {};
};

// A destination folder the run works in. Writing needs owner rwx: a folder without them gets
// them for as long as the run works there. When the run leaves, failures included, the folder
// gets its own bits back, or its source's bits when the run made it or an interrupted run left
// it with the bits folders are made with.
class DestinationFolder {
public:
    DestinationFolder(Run& run, const Folder& folder, std::uint32_t sourceAttributes, bool created,
                      bool mayRepair = true)
        : run_(run),
          folder_(folder),
          current_(folder.Attributes()),
          final_(current_),
          created_(created) {
        bool interrupted = mayRepair && current_ == (sourceAttributes | kOwnerAll);
        if (created || interrupted)
            final_ = sourceAttributes;
    }
    DestinationFolder(const DestinationFolder&) = delete;
    DestinationFolder& operator=(const DestinationFolder&) = delete;
    // A repair that fails (a folder not the user's to change) goes unreported.
    ~DestinationFolder() { Set(final_, created_ || current_ != folder_.Attributes()); }

    const Folder& folder() const { return folder_; }
    // Called before anything is written into the folder.
    void NeedWrite() {
        // Tried once: where it fails (another user's folder), each write says why it failed.
        if ((current_ & kOwnerAll) != kOwnerAll && !triedWrite_) {
            triedWrite_ = true;
            Set(current_ | kOwnerAll, false);
        }
    }

private:
    void Set(std::uint32_t attributes, bool reportFailure = true) {
        if (attributes == current_ || !folder_.IsOpen())
            return;
        try {
            run_.fileSystem.SetFolderAttributes(folder_, attributes);
            current_ = attributes;
        } catch (const FileSystemError& error) {
            if (reportFailure)
                run_.Fail(error);
        }
    }

    Run& run_;
    const Folder& folder_;
    std::uint32_t current_;
    std::uint32_t final_;
    bool created_;
    bool triedWrite_ = false;
};

void Run::KeepLink(const Folder& from, std::string_view name, DestinationFolder& to,
                   const LinkTarget& target) {
    ++report.filesCompared;
    triedCopy_ = true;
    try {
        to.NeedWrite();
        bool toFolder = target.kind == Kind::SubFolder;
        switch (CopyLink(fileSystem, from, name, to.folder(), toFolder, destinationTopFolder_)) {
            case LinkOutcome::Made:
                ++report.linksMade;
                copiedAnything_ = true;
                break;
            case LinkOutcome::OtherKindThere:
                Note(RunNote::OtherKindKept, to.folder().PathOf(name));
                break;
            case LinkOutcome::NotSupported:
                Note(RunNote::LinksNotMade, from.PathOf(name));
                break;
            case LinkOutcome::Unchanged:
                break;
        }
    } catch (const FileSystemError& error) {
        Fail(error);
    }
    Progress();
}

void Run::CopyLinkedFile(const Folder& from, std::string_view name, DestinationFolder& to) {
    ++report.filesCompared;
    try {
        std::int32_t status = CompareFile(fileSystem, from, to.folder(), name, StepOf(to.folder()));
        if (MustCopy(status)) {
            to.NeedWrite();
            CopyFile(from, to.folder(), name,
                     status == OnlyInSource    ? TargetSeen::Missing
                     : status == kTargetUnsure ? TargetSeen::Unsure
                                               : TargetSeen::Older);
        }
    } catch (const FileSystemError& error) {
        Fail(error);
    }
    Progress();
}

// Keeps a followed folder link's target among the folders whose links are kept, while the walk
// is below it.
class FollowedFolder {
public:
    FollowedFolder(Run& run, std::string target) : run_(run) {
        run.links.EnterFollowed(std::move(target));
    }
    ~FollowedFolder() { run_.links.LeaveFollowed(); }
    FollowedFolder(const FollowedFolder&) = delete;
    FollowedFolder& operator=(const FollowedFolder&) = delete;

private:
    Run& run_;
};

// A row for every file of the source listing, in listing order.
ComparisonTable CompareListed(FileSystem& fileSystem, const Folder& source,
                              const FolderListing& sourceListing, const Folder& destination) {
    ComparisonTable table;
    table.reserve(sourceListing.Count(Kind::File));
    for (const auto& entry : sourceListing.Entries()) {
        if (entry.kind != Kind::File)
            continue;
        std::string_view name = sourceListing.Name(entry);
        std::int32_t status = CompareFile(fileSystem, source, destination, name);
        // No file of that name in the destination, as far as the table can tell.
        table.push_back({std::string(name), status == kTargetUnsure ? OnlyInSource : status});
    }
    return table;
}

// The source listing of one level of the walk, given back when the level is done.
struct ListingAtDepth {
    explicit ListingAtDepth(Run& run) : run(run), listing(run.EnterListing()) {}
    ~ListingAtDepth() { run.LeaveListing(); }
    ListingAtDepth(const ListingAtDepth&) = delete;
    ListingAtDepth& operator=(const ListingAtDepth&) = delete;
    Run& run;
    FolderListing& listing;
};

// Goes through the rows of the comparison in order, copying those that need it; a name that
// loses to another it folds together with is left alone.
void CopyComparedFiles(Run& run, const PairReading& reading, DestinationFolder& destination,
                       const FoldedNames& folded) {
    // The files the listing kept are exactly the pending copies, in the same order.
    const FolderListing& listing = reading.listing;
    const auto& pending = reading.pendingCopies;
    auto kept = listing.Entries().begin();
    std::size_t next = 0;
    for (std::uint32_t row = 0; row < reading.rows; ++row) {
        ++run.report.filesCompared;
        if (next < pending.size() && pending[next].row == row) {
            while (kept->kind != Kind::File)
                ++kept;
            std::int32_t status = pending[next].status;
            TargetSeen target = status == OnlyInSource    ? TargetSeen::Missing
                                : status == kTargetUnsure ? TargetSeen::Unsure
                                                          : TargetSeen::Older;
            std::string_view name = listing.Name(*kept);
            if (!folded.Loses(name)) {
                destination.NeedWrite();
                run.CopyFile(reading.source, destination.folder(), name, target);
            }
            ++kept;
            ++next;
        }
        run.Progress();
        run.Yield();
        if (run.Stopped())
            return;
    }
}

// The names of `source` that lose to another they fold together with, recorded as failures;
// none unless `destination` folds case. `listing` is the source's whole listing when given;
// else the source is listed again, as a pair's own listing keeps only the files to copy.
FoldedNames FindFoldedNames(Run& run, const Folder& source, const Folder& destination,
                            const FolderListing* listing = nullptr) {
    FoldedNames names;
    if (!run.FoldsCase(destination))
        return names;
    FolderListing all;
    try {
        if (!listing)
            run.fileSystem.List(source, all);
    } catch (const FileSystemError& error) {
        run.Fail(error);
        return names;
    }
    names.Find(listing ? *listing : all);
    run.FailFoldedNames(source, names);
    return names;
}

// Creates (or opens) subfolder `name` of `parent` for a whole-folder copy of `source`; null
// when it turns out to be a folder of the source.
Folder CreateForCopy(Run& run, DestinationFolder& parent, std::string_view name,
                     const Folder& source, bool& created) {
    parent.NeedWrite();
    Folder folder = run.WithHandles([&] {
        return CreateDestinationFolder(run.fileSystem, parent.folder(), name,
                                       source.Attributes() | kOwnerAll, created);
    });
    if (!created && run.RefuseSourceAsDestination(folder))
        return Folder();
    return folder;
}

void CopyFolderContents(Run& run, const Folder& source, DestinationFolder& target);

// The files of a whole-folder copy; false when the run was asked to stop.
bool CopyListedFiles(Run& run, const Folder& source, const FolderListing& listing,
                     DestinationFolder& target, const FoldedNames& folded) {
    for (const auto& entry : listing.Entries()) {
        if (entry.kind != Kind::File)
            continue;
        ++run.report.filesCompared;
        if (folded.Loses(listing.Name(entry)))
            continue;
        target.NeedWrite();
        run.CopyFile(source, target.folder(), listing.Name(entry), TargetSeen::Missing);
        run.Progress();
        run.Yield();
        if (run.Stopped())
            return false;
    }
    return true;
}

// One subfolder of a whole-folder copy, made (or opened) and filled.
void CopySubFolder(Run& run, const Folder& source, std::string_view name,
                   DestinationFolder& target) {
    try {
        Folder from = run.WithHandles([&] { return run.fileSystem.GetSubFolder(source, name); });
        if (run.MustSkip(from))
            return;
        bool created = false;
        Folder to = CreateForCopy(run, target, name, from, created);
        if (to.IsOpen()) {
            Run::HoldingPair holding(run);
            DestinationFolder access(run, to, from.Attributes(), created);
            run.Enter(from.Identity());
            CopyFolderContents(run, from, access);
            run.Leave();
        }
    } catch (const FileSystemError& error) {
        run.Fail(error);
    }
}

// The source link `name` of `source` in a whole-folder copy: kept, or followed (see LinkRule).
void CopyWholeLink(Run& run, const Folder& source, std::string_view name,
                   DestinationFolder& target) {
    LinkTarget link = run.fileSystem.ResolveLink(source, name);
    switch (run.links.Decide(link)) {
        case LinkAction::Keep:
            run.KeepLink(source, name, target, link);
            break;
        case LinkAction::FollowFile:
            run.CopyLinkedFile(source, name, target);
            break;
        case LinkAction::FollowFolder: {
            FollowedFolder followed(run, std::move(link.path));
            CopySubFolder(run, source, name, target);
            break;
        }
    }
}

// The whole-folder copy: `target` has just been made or opened for `source`'s contents.
void CopyFolderContents(Run& run, const Folder& source, DestinationFolder& target) {
    ++run.report.foldersVisited;
    ListingAtDepth lease(run);
    FolderListing& listing = lease.listing;
    try {
        run.fileSystem.List(source, listing);
    } catch (const FileSystemError& error) {
        run.Fail(error);
        return;
    }
    const FoldedNames folded = FindFoldedNames(run, source, target.folder(), &listing);
    if (!CopyListedFiles(run, source, listing, target, folded))
        return;
    for (const auto& entry : listing.Entries()) {
        if (entry.kind == Kind::File || folded.Loses(listing.Name(entry)))
            continue;
        if (run.Stopped())
            return;
        if (entry.kind == Kind::SubFolder)
            CopySubFolder(run, source, listing.Name(entry), target);
        else
            CopyWholeLink(run, source, listing.Name(entry), target);
        run.Yield();
    }
}

// Lets the read-ahead know when the walk is done with a pair, however it leaves it.
class PairInWalk {
public:
    PairInWalk(ReadAhead& readAhead, PairNodePtr node)
        : readAhead_(readAhead), node_(std::move(node)) {
        readAhead_.Enter(node_);
    }
    ~PairInWalk() { readAhead_.Leave(*node_); }
    PairInWalk(const PairInWalk&) = delete;
    PairInWalk& operator=(const PairInWalk&) = delete;

private:
    ReadAhead& readAhead_;
    PairNodePtr node_;
};

void SyncOpenPair(Run& run, const PairNodePtr& pair, DestinationFolder& destination);

// The source subfolder at `entry` of `parent`'s listing: walked when its destination namesake
// exists, else copied whole.
void SyncSubFolder(Run& run, const PairNodePtr& parent, std::size_t entry,
                   DestinationFolder& destinationParent) {
    const FolderListing& listing = parent->reading.listing;
    std::string_view name = listing.Name(listing.Entries()[entry]);
    PairNodePtr pair = run.readAhead->Take(parent, entry, name);
    PairInWalk inWalk(*run.readAhead, pair);
    PairReading& reading = pair->reading;
    if (reading.unexpected)
        std::rethrow_exception(reading.unexpected);
    if (reading.openFailure) {
        run.Fail(reading.openFailure);
        return;
    }
    if (run.MustSkip(reading.source))
        return;
    run.Enter(reading.source.Identity());
    try {
        if (reading.destination.IsOpen()) {
            if (!run.RefuseSourceAsDestination(reading.destination)) {
                DestinationFolder access(run, reading.destination, reading.source.Attributes(),
                                         false);
                SyncOpenPair(run, pair, access);
            }
        } else {
            bool created = false;
            Folder made = CreateForCopy(run, destinationParent, name, reading.source, created);
            if (made.IsOpen() && created) {
                DestinationFolder access(run, made, reading.source.Attributes(), true);
                CopyFolderContents(run, reading.source, access);
            } else if (made.IsOpen()) {
                // Made meanwhile by someone else: walked as any existing folder.
                PairNodePtr opened = run.readAhead->ReadOpened(
                    parent, entry, std::move(reading.source), std::move(made));
                PairInWalk openedInWalk(*run.readAhead, opened);
                DestinationFolder access(run, opened->reading.destination,
                                         opened->reading.source.Attributes(), false);
                SyncOpenPair(run, opened, access);
            }
        }
    } catch (const FileSystemError& error) {
        run.Fail(error);
    }
    run.Leave();
}

// The link at `entry` of `parent`'s source listing: kept as a link, or followed as the file or
// folder it leads to (see LinkRule).
void SyncLink(Run& run, const PairNodePtr& parent, std::size_t entry,
              DestinationFolder& destination) {
    const PairReading& reading = parent->reading;
    std::string_view name = reading.listing.Name(reading.listing.Entries()[entry]);
    LinkTarget link = run.fileSystem.ResolveLink(reading.source, name);
    switch (run.links.Decide(link)) {
        case LinkAction::Keep:
            run.KeepLink(reading.source, name, destination, link);
            break;
        case LinkAction::FollowFile:
            run.CopyLinkedFile(reading.source, name, destination);
            break;
        case LinkAction::FollowFolder: {
            FollowedFolder followed(run, std::move(link.path));
            SyncSubFolder(run, parent, entry, destination);
            break;
        }
    }
}

// A folder pair whose two folders exist and have been read: its own files first, then each
// source subfolder and link.
void SyncOpenPair(Run& run, const PairNodePtr& pair, DestinationFolder& destination) {
    ++run.report.foldersVisited;
    const PairReading& reading = pair->reading;
    if (reading.unexpected)
        std::rethrow_exception(reading.unexpected);
    if (reading.listFailure) {
        run.Fail(reading.listFailure);
        return;
    }
    const FoldedNames folded = FindFoldedNames(run, reading.source, destination.folder());
    CopyComparedFiles(run, reading, destination, folded);
    const auto& entries = reading.listing.Entries();
    for (std::size_t entry = 0; entry < entries.size(); ++entry) {
        if (entries[entry].kind == Kind::File)
            continue;
        if (run.Stopped())
            return;
        std::string_view name = reading.listing.Name(entries[entry]);
        bool subFolder = entries[entry].kind == Kind::SubFolder;
        if (folded.Loses(name)) {
            // Taken and left at once, so what was read ahead of it is let go.
            if (subFolder)
                PairInWalk skipped(*run.readAhead, run.readAhead->Take(pair, entry, name));
            continue;
        }
        if (subFolder)
            SyncSubFolder(run, pair, entry, destination);
        else
            SyncLink(run, pair, entry, destination);
        run.Yield();
    }
}

// Learns what the destination's file system keeps before anything is compared: the step of
// its times and whether it folds case, from the file system where it says, else from probes
// in the top's temporary area.
void LearnDestination(Run& run, const Folder& top) {
    FileSystem& fileSystem = run.fileSystem;
    run.report.destinationFileSystem = fileSystem.FileSystemIdentity(top);
    const bool exactTimes = fileSystem.KeepsExactTimes(top);
    run.destinationTimes.shiftsByAnHour = fileSystem.KeepsLocalTimes(top);
    const NameCase names = fileSystem.NamesCase(top);
    run.SetFoldsCase(top, names == NameCase::Folded);
    if (exactTimes && names != NameCase::Unknown)
        return;
    try {
        bool created = false;
        Folder area = fileSystem.CreateSubFolder(top, kTemporaryArea, 0700, created);
        ProbeFindings found =
            ProbeDestination(fileSystem, area, !exactTimes, names == NameCase::Unknown);
        found.times.shiftsByAnHour = run.destinationTimes.shiftsByAnHour;
        run.destinationTimes = found.times;
        if (names == NameCase::Unknown)
            run.SetFoldsCase(top, found.foldsCase);
    } catch (const FileSystemError&) {
        // A destination that takes no temporary: each copy will say why.
    }
    // Left in place while temporaries of a killed run are in it; the walk clears those.
    fileSystem.RemoveEmptySubFolder(top, kTemporaryArea);
}

// The destination's top is missing. True, recorded, when the folder it would be made in lies
// on another file system than the one the caller remembers it on: a drive that is not
// attached, whose empty mount point must not take a backup.
bool RefuseDetachedDrive(Run& run, const std::string& destinationPath) {
    if (run.RememberedFileSystem().empty())
        return false;
    std::filesystem::path parent = std::filesystem::path(destinationPath).parent_path();
    for (;; parent = parent.parent_path()) {
        try {
            Folder folder = run.fileSystem.GetFolder(parent.empty() ? "." : parent.string());
            run.report.destinationFileSystem = run.fileSystem.FileSystemIdentity(folder);
            break;
        } catch (const FileSystemError&) {
            if (parent.empty() || parent == parent.parent_path())
                return false;
        }
    }
    const std::string& found = run.report.destinationFileSystem;
    if (found.empty() || found == run.RememberedFileSystem())
        return false;
    run.Fail(destinationPath, kDriveNotAttached, FailureKind::DriveNotAttached);
    return true;
}

// Opens the destination's top, or makes it when it is missing and may be made; an empty
// folder when it cannot be had, the failure recorded.
Folder OpenDestinationTop(Run& run, const std::string& path, const Folder& source, bool& created) {
    try {
        return run.fileSystem.GetFolder(path);
    } catch (const FileSystemError& missing) {
        if (!run.MayCreateDestination()) {
            run.Fail(missing, FailureKind::TopUnreachable);
            return Folder();
        }
    }
    if (RefuseDetachedDrive(run, path))
        return Folder();
    try {
        return run.fileSystem.CreateFolder(path, source.Attributes() | kOwnerAll, created);
    } catch (const FileSystemError& error) {
        run.Fail(error, FailureKind::TopUnreachable);
    }
    return Folder();
}

// Walks the tree below the open top pair, or copies the source whole into a top just made.
void WalkFromTop(Run& run, Folder source, Folder destination, bool created, std::size_t handles) {
    ReadAhead readAhead(run.fileSystem, run.ReadAheadWanted(handles));
    run.readAhead = &readAhead;
    PairNodePtr top = readAhead.Top(std::move(source), std::move(destination));
    const Folder& sourceTop = top->reading.source;
    const Folder& destinationFolder = top->reading.destination;
    // The run's temporaries go under the folder it keeps open for the whole run.
    run.SetDestinationTop(destinationFolder);
    {
        PairInWalk inWalk(readAhead, top);
        // The top is the user's own folder unless this run made it.
        DestinationFolder access(run, destinationFolder, sourceTop.Attributes(), created, false);
        if (created) {
            CopyFolderContents(run, sourceTop, access);
        } else {
            run.ClearTemporaryArea();
            readAhead.ReadHere(top);
            SyncOpenPair(run, top, access);
        }
    }
    readAhead.Stop();
    run.Flush(destinationFolder);
}

// The source's top folder, or none when it cannot be backed up (the failure is recorded).
Folder OpenSourceTop(Run& run, const std::string& path) {
    Folder source;
    try {
        source = run.fileSystem.GetFolder(path);
    } catch (const FileSystemError& error) {
        run.Fail(error, FailureKind::TopUnreachable);
        return Folder();
    }
    if (source.OnPseudoFileSystem()) {
        run.Fail(path, kPseudoFileSystem, FailureKind::PseudoFileSystem);
        return Folder();
    }
    return source;
}

void SyncTree(Run& run, const std::string& sourcePath, const std::string& destinationPath) {
    // An empty path would resolve to nothing sensible; it names no folder.
    if (sourcePath.empty() || destinationPath.empty()) {
        run.Fail(FileSystemError(ENOENT, sourcePath.empty() ? sourcePath : destinationPath),
                 FailureKind::TopUnreachable);
        return;
    }
    std::size_t handles = run.fileSystem.RaiseOpenHandleLimit();
    Folder source = OpenSourceTop(run, sourcePath);
    if (!source.IsOpen())
        return;
    run.Enter(source.Identity());
    bool created = false;
    Folder destination = OpenDestinationTop(run, destinationPath, source, created);
    if (!destination.IsOpen() || run.RefuseSourceAsDestination(destination))
        return;
    run.links.SetTops(run.fileSystem.ResolvedPath(source),
                      run.fileSystem.ResolvedPath(destination));
    LearnDestination(run, destination);
    WalkFromTop(run, std::move(source), std::move(destination), created, handles);
    run.Leave();
}

}  // namespace

ComparisonTable CompareFolderFiles(std::string source, std::string destination) {
    return CompareFolderFiles(std::move(source), std::move(destination), PlatformFileSystem());
}

ComparisonTable CompareFolderFiles(std::string source, std::string destination,
                                   FileSystem& fileSystem) {
    Folder sourceFolder = fileSystem.GetFolder(source);
    Folder destinationFolder = fileSystem.GetFolder(destination);
    FolderListing sourceListing;
    fileSystem.List(sourceFolder, sourceListing);
    // Listed only so that a destination that cannot be listed fails the comparison.
    FolderListing destinationListing;
    fileSystem.List(destinationFolder, destinationListing);
    return CompareListed(fileSystem, sourceFolder, sourceListing, destinationFolder);
}

void SyncFolderFiles(std::string source, std::string destination) {
    SyncFolderFiles(std::move(source), std::move(destination), RunOptions{});
}

void SyncFolderFiles(std::string source, std::string destination, const RunOptions& options) {
    Run run(options);
    PairReading reading;
    reading.source = run.fileSystem.GetFolder(source);
    reading.destination = run.fileSystem.GetFolder(destination);
    if (reading.source.Identity() == reading.destination.Identity())
        throw FileSystemError(EINVAL, reading.destination.Path());
    LearnDestination(run, reading.destination);
    run.SetDestinationTop(reading.destination);
    run.ClearTemporaryArea();
    CompareFolderPair(run.fileSystem, reading, run.destinationTimes);
    {
        DestinationFolder access(run, reading.destination, reading.source.Attributes(), false,
                                 false);
        CopyComparedFiles(run, reading, access,
                          FindFoldedNames(run, reading.source, reading.destination));
    }
    run.Flush(reading.destination);
}

void SyncFolderTree(std::string source, std::string destination) {
    SyncFolderTree(std::move(source), std::move(destination), RunOptions{});
}

void SyncFolderTree(std::string source, std::string destination, const RunOptions& options) {
    try {
        Run run(options);
        try {
            SyncTree(run, source, destination);
        } catch (const std::exception& error) {
            run.Fail(source, error.what(), FailureKind::System);
        } catch (...) {
            run.Fail(source, "unexpected failure", FailureKind::System);
        }
    } catch (...) {
        // Not even the report could be written to; the run ends quietly as promised.
    }
}

}  // namespace FileSync
