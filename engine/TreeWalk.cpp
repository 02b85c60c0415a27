// SPDX-License-Identifier: GPL-3.0-or-later
// The walk of a tree run: depth first over pairs of open folders, on the caller's thread, with
// every copy and report; reading the pairs it reaches next may go ahead of it on other threads
// (ReadAhead.h). A source folder without a destination namesake is copied whole, without
// comparing anything.
//
// Every step that can fail is caught where it fails, recorded in the run report and followed
// by the next step, so one unreadable file or folder never hides the rest.
#include "TreeWalk.h"

#include <cerrno>
#include <filesystem>
#include <utility>

#include "ChangeJournal.h"

namespace FileSync {
namespace {

using Kind = FolderListing::Kind;

constexpr const char* kDriveNotAttached =
    "the destination's drive is not attached: the folder it would be made in lies on another "
    "file system than the one it was last found on";
constexpr const char* kPseudoFileSystem = "is on a kernel file system (proc, sysfs, ...)";

// Whether the caller's change journal says nothing changed in the pair or below it: the walk
// then leaves the pair alone without looking at it.
bool Unchanged(const Run& run, std::string_view source, std::string_view destination) {
    const ChangeJournal* journal = run.state.Options().journal;
    return journal && journal->Unchanged(source, destination);
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

// The source listing of one level of the walk, given back when the level is done.
class ListingAtDepth {
public:
    explicit ListingAtDepth(Run& run) : run_(run), listing_(run.EnterListing()) {}
    ~ListingAtDepth() { run_.LeaveListing(); }
    ListingAtDepth(const ListingAtDepth&) = delete;
    ListingAtDepth& operator=(const ListingAtDepth&) = delete;
    FolderListing& listing() const { return listing_; }

private:
    Run& run_;
    FolderListing& listing_;
};

// Creates (or opens) subfolder `name` of `parent` for a whole-folder copy of `source`; null
// when it turns out to be a folder of the source.
Folder CreateForCopy(Run& run, DestinationFolder& parent, std::string_view name,
                     const Folder& source, bool& created) {
    parent.NeedWrite();
    Folder folder = run.WithHandles([&] {
        return CreateDestinationFolder(run.fileSystem, parent.folder(), name,
                                       source.Attributes() | kOwnerAll, created);
    });
    if (!created && run.guard.RefuseSourceAsDestination(folder))
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
        run.state.Progress();
        run.state.Yield();
        if (run.state.Stopped())
            return false;
    }
    return true;
}

// One subfolder of a whole-folder copy, made (or opened) and filled.
void CopySubFolder(Run& run, const Folder& source, std::string_view name,
                   DestinationFolder& target) {
    try {
        Folder from = run.WithHandles([&] { return run.fileSystem.GetSubFolder(source, name); });
        if (run.guard.MustSkip(from))
            return;
        bool created = false;
        Folder to = CreateForCopy(run, target, name, from, created);
        if (to.IsOpen()) {
            HoldingPair holding(run);
            DestinationFolder access(run, to, from.Attributes(), created);
            run.guard.Enter(from.Identity());
            CopyFolderContents(run, from, access);
            run.guard.Leave();
        }
    } catch (const FileSystemError& error) {
        run.state.Fail(error);
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
    FolderListing& listing = lease.listing();
    try {
        run.fileSystem.List(source, listing);
    } catch (const FileSystemError& error) {
        run.state.Fail(error);
        return;
    }
    const FoldedNames folded = FindFoldedNames(run, source, target.folder(), &listing);
    if (!CopyListedFiles(run, source, listing, target, folded))
        return;
    for (const auto& entry : listing.Entries()) {
        if (entry.kind == Kind::File || folded.Loses(listing.Name(entry)))
            continue;
        if (run.state.Stopped())
            return;
        if (entry.kind == Kind::SubFolder)
            CopySubFolder(run, source, listing.Name(entry), target);
        else
            CopyWholeLink(run, source, listing.Name(entry), target);
        run.state.Yield();
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

// The source subfolder `reading` read at `entry` of `parent`'s listing, whose destination
// namesake is missing: made and copied whole, or walked when someone else made it meanwhile.
void SyncIntoMissing(Run& run, const PairNodePtr& parent, std::size_t entry, PairReading& reading,
                     DestinationFolder& destinationParent) {
    std::string_view name = parent->reading.listing.Name(parent->reading.listing.Entries()[entry]);
    bool created = false;
    Folder made = CreateForCopy(run, destinationParent, name, reading.source, created);
    if (made.IsOpen() && created) {
        DestinationFolder access(run, made, reading.source.Attributes(), true);
        CopyFolderContents(run, reading.source, access);
    } else if (made.IsOpen()) {
        PairNodePtr opened =
            run.readAhead->ReadOpened(parent, entry, std::move(reading.source), std::move(made));
        PairInWalk openedInWalk(*run.readAhead, opened);
        DestinationFolder access(run, opened->reading.destination,
                                 opened->reading.source.Attributes(), false);
        SyncOpenPair(run, opened, access);
    }
}

// The source subfolder at `entry` of `parent`'s listing: walked when its destination namesake
// exists, else copied whole.
void SyncSubFolder(Run& run, const PairNodePtr& parent, std::size_t entry,
                   DestinationFolder& destinationParent) {
    const FolderListing& listing = parent->reading.listing;
    const std::string_view name = listing.Name(listing.Entries()[entry]);
    if (Unchanged(run, parent->reading.source.PathOf(name),
                  destinationParent.folder().PathOf(name)))
        return;
    PairNodePtr pair = run.readAhead->Take(parent, entry, name);
    PairInWalk inWalk(*run.readAhead, pair);
    PairReading& reading = pair->reading;
    if (reading.unexpected)
        std::rethrow_exception(reading.unexpected);
    if (reading.openFailure) {
        run.state.Fail(reading.openFailure);
        return;
    }
    if (run.guard.MustSkip(reading.source))
        return;
    run.guard.Enter(reading.source.Identity());
    try {
        if (!reading.destination.IsOpen()) {
            SyncIntoMissing(run, parent, entry, reading, destinationParent);
        } else if (!run.guard.RefuseSourceAsDestination(reading.destination)) {
            DestinationFolder access(run, reading.destination, reading.source.Attributes(), false);
            SyncOpenPair(run, pair, access);
        }
    } catch (const FileSystemError& error) {
        run.state.Fail(error);
    }
    run.guard.Leave();
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
        run.state.Fail(reading.listFailure);
        return;
    }
    const FoldedNames folded = FindFoldedNames(run, reading.source, destination.folder());
    CopyComparedFiles(run, reading, destination, folded);
    const auto& entries = reading.listing.Entries();
    for (std::size_t entry = 0; entry < entries.size(); ++entry) {
        if (entries[entry].kind == Kind::File)
            continue;
        if (run.state.Stopped())
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
        run.state.Yield();
    }
}
// The destination's top is missing. True, recorded, when the folder it would be made in lies
// on another file system than the one the caller remembers it on: a drive that is not
// attached, whose empty mount point must not take a backup.
bool RefuseDetachedDrive(Run& run, const std::string& destinationPath) {
    if (run.state.Options().destinationFileSystem.empty())
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
    if (found.empty() || found == run.state.Options().destinationFileSystem)
        return false;
    run.state.Fail(destinationPath, kDriveNotAttached, FailureKind::DriveNotAttached);
    return true;
}

// Opens the destination's top, or makes it when it is missing and may be made; an empty
// folder when it cannot be had, the failure recorded.
Folder OpenDestinationTop(Run& run, const std::string& path, const Folder& source, bool& created) {
    try {
        return run.fileSystem.GetFolder(path);
    } catch (const FileSystemError& missing) {
        if (!run.state.Options().createDestination) {
            run.state.Fail(missing, FailureKind::TopUnreachable);
            return Folder();
        }
    }
    if (RefuseDetachedDrive(run, path))
        return Folder();
    try {
        return run.fileSystem.CreateFolder(path, source.Attributes() | kOwnerAll, created);
    } catch (const FileSystemError& error) {
        run.state.Fail(error, FailureKind::TopUnreachable);
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
            run.temporaries.Clear();
            readAhead.ReadHere(top);
            SyncOpenPair(run, top, access);
        }
    }
    readAhead.Stop();
    run.temporaries.Flush(destinationFolder);
}

// The source's top folder, or none when it cannot be backed up (the failure is recorded).
Folder OpenSourceTop(Run& run, const std::string& path) {
    Folder source;
    try {
        source = run.fileSystem.GetFolder(path);
    } catch (const FileSystemError& error) {
        run.state.Fail(error, FailureKind::TopUnreachable);
        return Folder();
    }
    if (source.OnPseudoFileSystem()) {
        run.state.Fail(path, kPseudoFileSystem, FailureKind::PseudoFileSystem);
        return Folder();
    }
    return source;
}

}  // namespace

void SyncTree(Run& run, const std::string& sourcePath, const std::string& destinationPath) {
    // An empty path would resolve to nothing sensible; it names no folder.
    if (sourcePath.empty() || destinationPath.empty()) {
        run.state.Fail(FileSystemError(ENOENT, sourcePath.empty() ? sourcePath : destinationPath),
                       FailureKind::TopUnreachable);
        return;
    }
    if (Unchanged(run, sourcePath, destinationPath))
        return;
    std::size_t handles = run.fileSystem.RaiseOpenHandleLimit();
    Folder source = OpenSourceTop(run, sourcePath);
    if (!source.IsOpen())
        return;
    run.guard.Enter(source.Identity());
    bool created = false;
    Folder destination = OpenDestinationTop(run, destinationPath, source, created);
    if (!destination.IsOpen() || run.guard.RefuseSourceAsDestination(destination))
        return;
    run.links.SetTops(run.fileSystem.ResolvedPath(source),
                      run.fileSystem.ResolvedPath(destination));
    LearnDestination(run, destination);
    WalkFromTop(run, std::move(source), std::move(destination), created, handles);
    run.guard.Leave();
}

}  // namespace FileSync
