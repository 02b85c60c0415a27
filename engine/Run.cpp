// SPDX-License-Identifier: GPL-3.0-or-later
#include "Run.h"

#include <string>
#include <utility>

#include "Comparison.h"

namespace FileSync {
namespace {

using Kind = FolderListing::Kind;

constexpr const char* kSourceKeptChanging = "changed while being copied";
constexpr const char* kTimesNotKept = "the destination does not keep modification times";

TargetSeen SeenAs(std::int32_t status) {
    return status == OnlyInSource    ? TargetSeen::Missing
           : status == kTargetUnsure ? TargetSeen::Unsure
                                     : TargetSeen::Older;
}

// Records each source name of `names` that loses to another name it folds together with.
void FailFoldedNames(RunReport& report, const Folder& source, const FoldedNames& names) {
    for (const auto& clash : names.Clashes()) {
        std::string reason = "has the same name as \"" + clash.winner +
                             "\" where letter case is ignored; only that one is backed up";
        report.failures.push_back({source.PathOf(clash.loser), std::move(reason),
                                   FailureKind::NamesFoldTogether, 0, clash.winner});
    }
}

}  // namespace

ReadAheadSettings Run::ReadAheadWanted(std::size_t handles) const {
    const RunOptions& options = state.Options();
    return {options.readAheadThreads, options.readAheadFreshFor, handles, destinationTimes};
}

FolderListing& Run::EnterListing() {
    if (depth_ == listings_.size())
        listings_.push_back(std::make_unique<FolderListing>());
    return *listings_[depth_++];
}

bool Run::FoldsCase(const Folder& folder) {
    auto known = foldsCase_.find(folder.Identity().device);
    if (known != foldsCase_.end())
        return known->second;
    NameCase answer = fileSystem.NamesCase(folder);
    return foldsCase_[folder.Identity().device] = answer == NameCase::Folded;
}

void Run::SetFoldsCase(const Folder& folder, bool folds) {
    foldsCase_[folder.Identity().device] = folds;
}

TimeStep Run::StepOf(const Folder& to) const {
    return to.Identity().device == guard.DestinationTop().device ? destinationTimes : TimeStep{};
}

void Run::CopyFile(const Folder& from, const Folder& to, std::string_view name, TargetSeen target) {
    temporaries.NoteCopyTried();
    try {
        // Temporaries go to the destination top's area when on its device, so a killed run
        // leaves them in one small place, which every run clears; or, where the file system
        // wants them there, to the folder they are going to.
        const Folder* top = temporaries.Top();
        const Folder* area = top && top->Identity().device == to.Identity().device &&
                                     !fileSystem.TemporariesInTargetFolder()
                                 ? top
                                 : nullptr;
        CopyRequest request{from, to, name, target, area, StepOf(to)};
        CopyResult result =
            WithHandles([&] { return CopyOneFile(fileSystem, request, state.BetweenSlices()); });
        if (result.outcome == CopyOutcome::KeptChanging) {
            state.Fail(from.PathOf(name), kSourceKeptChanging, FailureKind::KeptChanging);
        } else if (result.outcome == CopyOutcome::Copied) {
            report.bytesCopied += result.bytes;
            ++report.filesCopied;
            temporaries.NoteCopied();
            CheckInstalledTime(to, name, result.given);
        }
    } catch (const FileSystemError& error) {
        state.Fail(error);
    }
}

// The time a copy was given must hold, or the next run could not tell it is current. A
// destination where it does not is reported once per run, not once per file.
void Run::CheckInstalledTime(const Folder& to, std::string_view name, const FileFacts& given) {
    if (KeepInstalledTime(fileSystem, to, name, given, StepOf(to)) || reportedTimesNotKept_)
        return;
    reportedTimesNotKept_ = true;
    state.Fail(to.PathOf(name), kTimesNotKept, FailureKind::TimesNotKept);
}

void Run::KeepLink(const Folder& from, std::string_view name, DestinationFolder& to,
                   const LinkTarget& target) {
    ++report.filesCompared;
    temporaries.NoteCopyTried();
    try {
        to.NeedWrite();
        bool toFolder = target.kind == Kind::SubFolder;
        switch (CopyLink(fileSystem, from, name, to.folder(), toFolder, temporaries.Top())) {
            case LinkOutcome::Made:
                ++report.linksMade;
                temporaries.NoteCopied();
                break;
            case LinkOutcome::OtherKindThere:
                state.Note(RunNote::OtherKindKept, to.folder().PathOf(name));
                break;
            case LinkOutcome::NotSupported:
                state.Note(RunNote::LinksNotMade, from.PathOf(name));
                break;
            case LinkOutcome::Unchanged:
                break;
        }
    } catch (const FileSystemError& error) {
        state.Fail(error);
    }
    state.Progress();
}

void Run::CopyLinkedFile(const Folder& from, std::string_view name, DestinationFolder& to) {
    ++report.filesCompared;
    try {
        std::int32_t status = CompareFile(fileSystem, from, to.folder(), name, StepOf(to.folder()));
        if (MustCopy(status)) {
            to.NeedWrite();
            CopyFile(from, to.folder(), name, SeenAs(status));
        }
    } catch (const FileSystemError& error) {
        state.Fail(error);
    }
    state.Progress();
}

HoldingPair::HoldingPair(Run& run) : readAhead_(run.readAhead) {
    if (readAhead_)
        readAhead_->WalkHolds(2);
}

HoldingPair::~HoldingPair() {
    if (readAhead_)
        readAhead_->WalkHolds(-2);
}

DestinationFolder::DestinationFolder(Run& run, const Folder& folder, std::uint32_t sourceAttributes,
                                     bool created, bool mayRepair)
    : run_(run),
      folder_(folder),
      current_(folder.Attributes()),
      final_(current_),
      created_(created) {
    bool interrupted = mayRepair && current_ == (sourceAttributes | kOwnerAll);
    if (created || interrupted)
        final_ = sourceAttributes;
}

void DestinationFolder::NeedWrite() {
    // Tried once: where it fails (another user's folder), each write says why it failed.
    if ((current_ & kOwnerAll) != kOwnerAll && !triedWrite_) {
        triedWrite_ = true;
        Set(current_ | kOwnerAll, false);
    }
}

void DestinationFolder::Set(std::uint32_t attributes, bool reportFailure) {
    if (attributes == current_ || !folder_.IsOpen())
        return;
    try {
        run_.fileSystem.SetFolderAttributes(folder_, attributes);
        current_ = attributes;
    } catch (const FileSystemError& error) {
        if (reportFailure)
            run_.state.Fail(error);
    }
}

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
            std::string_view name = listing.Name(*kept);
            if (!folded.Loses(name)) {
                destination.NeedWrite();
                run.CopyFile(reading.source, destination.folder(), name,
                             SeenAs(pending[next].status));
            }
            ++kept;
            ++next;
        }
        run.state.Progress();
        run.state.Yield();
        if (run.state.Stopped())
            return;
    }
}

FoldedNames FindFoldedNames(Run& run, const Folder& source, const Folder& destination,
                            const FolderListing* listing) {
    FoldedNames names;
    if (!run.FoldsCase(destination))
        return names;
    FolderListing all;
    try {
        if (!listing)
            run.fileSystem.List(source, all);
    } catch (const FileSystemError& error) {
        run.state.Fail(error);
        return names;
    }
    names.Find(listing ? *listing : all);
    FailFoldedNames(run.report, source, names);
    return names;
}

}  // namespace FileSync
