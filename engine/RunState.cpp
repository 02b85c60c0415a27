// SPDX-License-Identifier: GPL-3.0-or-later
#include "RunState.h"

#include <algorithm>
#include <utility>

#include "FileCopy.h"

namespace FileSync {
namespace {

constexpr const char* kDestinationInSource = "destination folder is a folder of the source";
constexpr const char* kLinkInDestination = "a link in the destination, not followed";
constexpr const char* kFolderCycle = "leads back to a folder above it";

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

}  // namespace

RunState::RunState(const RunOptions& options)
    : options_(options),
      fileSystem_(options.fileSystem ? *options.fileSystem : PlatformFileSystem()),
      report_(options.report ? *options.report : ownReport_) {
    betweenSlices_ = [this] {
        Yield();
        return !Stopped();
    };
}

void RunState::Yield() {
    if (options_.yield)
        options_.yield();
    if (!stopped_ && options_.stopRequested && options_.stopRequested())
        stopped_ = true;
}

void RunState::Progress() const {
    if (options_.progress)
        options_.progress(report_);
}

void RunState::RunBlocking(const std::function<void()>& step) const {
    if (options_.runBlocking)
        options_.runBlocking(step);
    else
        step();
}

void RunState::Fail(const FileSystemError& error, FailureKind kind) {
    if (error.Refused() == FileSystemError::Refusal::Encrypted)
        Fail(error.Path(), "the file is encrypted and its copy would not be",
             FailureKind::Encrypted);
    else if (dynamic_cast<const LinkInDestinationError*>(&error))
        Fail(error.Path(), kLinkInDestination, FailureKind::LinkInDestination);
    else
        report_.failures.push_back({error.Path(), error.Reason(), kind, error.code().value(), {}});
}

void RunState::Fail(std::string path, std::string reason, FailureKind kind) {
    report_.failures.push_back({std::move(path), std::move(reason), kind, 0, {}});
}

void RunState::Fail(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const FileSystemError& error) {
        Fail(error);
    }
}

void RunState::Note(RunNote note, const std::string& path) {
    if (!std::exchange(noted_[static_cast<int>(note)], true))
        report_.notes.push_back(NoteText(note) + path);
}

void WalkGuard::SetDestinationTop(const Folder& folder) {
    destinationTop_ = folder.Identity();
    hasDestinationTop_ = true;
    destinationTopFolder_ = &folder;
}

bool WalkGuard::MustSkip(const Folder& folder) {
    if (IsDestinationTop(folder))
        return true;
    if (folder.OnPseudoFileSystem()) {
        state_.Note(RunNote::PseudoNotEntered, folder.Path());
        return true;
    }
    if (!IsOnSourcePath(folder.Identity()))
        return false;
    state_.Fail(folder.Path(), kFolderCycle, FailureKind::FolderCycle);
    return true;
}

bool WalkGuard::RefuseSourceAsDestination(const Folder& destination) {
    if (!IsOnSourcePath(destination.Identity()))
        return false;
    state_.Fail(destination.Path(), kDestinationInSource, FailureKind::DestinationInSource);
    return true;
}

// The destination's top met in the source. Where the file system gives folders no identity the
// path it was opened by is the last way to see it, so a backup never copies itself.
bool WalkGuard::IsDestinationTop(const Folder& folder) const {
    if (!hasDestinationTop_)
        return false;
    if (destinationTop_.Known())
        return folder.Identity() == destinationTop_;
    return destinationTopFolder_ && folder.Path() == destinationTopFolder_->Path();
}

bool WalkGuard::IsOnSourcePath(const FolderIdentity& folder) const {
    return std::find(sourcePath_.begin(), sourcePath_.end(), folder) != sourcePath_.end();
}

void TemporaryArea::Clear() {
    if (!top_ || !top_->IsOpen())
        return;
    try {
        ClearTemporaryArea(state_.Files(), *top_);
    } catch (const FileSystemError& error) {
        state_.Fail(error);
    }
}

void TemporaryArea::Flush(const Folder& destination) {
    if (triedCopy_)
        Clear();
    if (!copiedAnything_ || !destination.IsOpen())
        return;
    try {
        FileSystem& fileSystem = state_.Files();
        state_.RunBlocking([&fileSystem, &destination] { fileSystem.SyncToStorage(destination); });
    } catch (const FileSystemError& error) {
        state_.Fail(error);
    }
}

}  // namespace FileSync
