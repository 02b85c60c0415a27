// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of one outermost run that are no part of the walk's order: what the caller asked
// and is told, the folders the walk must keep out of, and the temporary area of the
// destination's top. Nested runs started from the yield hook have their own.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "FileSync.h"
#include "FileSystem.h"

namespace FileSync {

// The run's remarks that are no failures, each noted once per run.
enum class RunNote : std::uint8_t { LinksNotMade, OtherKindKept, PseudoNotEntered, Count };

// The caller's options and the report the run keeps for it: failures, notes, yields, the
// request to stop and progress.
class RunState {
public:
    explicit RunState(const RunOptions& options);
    RunState(const RunState&) = delete;
    RunState& operator=(const RunState&) = delete;
    ~RunState() = default;

    const RunOptions& Options() const { return options_; }
    FileSystem& Files() const { return fileSystem_; }
    RunReport& Report() const { return report_; }

    void Yield();
    // True once the caller asked the run to stop: nothing further is started.
    bool Stopped() const { return stopped_; }
    // Asked between the slices of a large copy: yields, and answers whether to go on.
    const std::function<bool()>& BetweenSlices() const { return betweenSlices_; }
    void Progress() const;
    // Runs a step that may wait long on the device the way the caller wants it run.
    void RunBlocking(const std::function<void()>& step) const;

    void Fail(const FileSystemError& error, FailureKind kind = FailureKind::System);
    void Fail(std::string path, std::string reason, FailureKind kind);
    // Records a failure kept from reading: a file system's, or raised again.
    void Fail(const std::exception_ptr& failure);
    void Note(RunNote note, const std::string& path);

private:
    const RunOptions& options_;
    RunReport ownReport_;
    FileSystem& fileSystem_;
    RunReport& report_;
    std::function<bool()> betweenSlices_;
    bool stopped_ = false;
    bool noted_[static_cast<int>(RunNote::Count)] = {};
};

// Keeps the walk out of the folders it must never enter or write into: those on the path from
// the source's top down to the folder being handled, the destination's top and kernel file
// systems.
class WalkGuard {
public:
    explicit WalkGuard(RunState& state) : state_(state) {}

    // The walk enters and leaves a source folder.
    void Enter(const FolderIdentity& folder) { sourcePath_.push_back(folder); }
    void Leave() { sourcePath_.pop_back(); }
    void SetDestinationTop(const Folder& folder);
    const FolderIdentity& DestinationTop() const { return destinationTop_; }

    // A source subfolder the walk must not enter: the destination's top (the backup would be
    // copied into itself), a mount of a kernel pseudo file system, or one of the source
    // folders from the run's top down to the folder being handled, which would never end: the
    // last guard against cycles, recorded as a failure.
    bool MustSkip(const Folder& folder);
    // A destination folder that is one of the source folders being handled must never be
    // written into: the copy would overwrite the source. Records the failure.
    bool RefuseSourceAsDestination(const Folder& destination);

private:
    bool IsDestinationTop(const Folder& folder) const;
    bool IsOnSourcePath(const FolderIdentity& folder) const;

    RunState& state_;
    std::vector<FolderIdentity> sourcePath_;
    FolderIdentity destinationTop_;
    bool hasDestinationTop_ = false;
    const Folder* destinationTopFolder_ = nullptr;
};

// The temporary area in the destination's top: cleared of what killed runs left, and once the
// run ends, of what its own copies left, with what it copied put on stable storage.
class TemporaryArea {
public:
    explicit TemporaryArea(RunState& state) : state_(state) {}

    // The run's temporaries go under this folder, which stays open for the whole run.
    void SetTop(const Folder& top) { top_ = &top; }
    // The folder that owns the area, or null before it is known.
    const Folder* Top() const { return top_; }
    // Clears away what killed runs left in the area; a failure is recorded.
    void Clear();
    void NoteCopyTried() { triedCopy_ = true; }
    void NoteCopied() { copiedAnything_ = true; }
    // What the run copied is on stable storage once this returns, and the area a copy made,
    // failed copies included, is gone again.
    void Flush(const Folder& destination);

private:
    RunState& state_;
    const Folder* top_ = nullptr;
    bool triedCopy_ = false;
    bool copiedAnything_ = false;
};

}  // namespace FileSync
