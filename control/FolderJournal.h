// SPDX-License-Identifier: GPL-3.0-or-later
// The change journal of the window's backups: it watches the source and destination trees and
// tells a timed run which folder pairs nothing has touched since the last complete run, so the
// run leaves them alone. What it promises, and when a run walks in full anyway:
//
// - A pair is unchanged only when no entry of any folder at or below it, on either side, was
//   made, removed, renamed, written or touched since the last complete run began, and every
//   one of those folders was watched all that time.
// - Every run walks in full (the journal answers "changed" everywhere) when: the journal began
//   watching after the last complete run began; changes may have been lost (the platform's
//   queue overflowed, a watch could not be added, a watched folder or a mount in the trees was
//   unmounted, moved or replaced); either tree lies on a file system whose changes the kernel
//   does not see (network file systems, FUSE); the last full walk began more than an hour ago;
//   and for every Start and Stop click, the user asking for a backup now.
// - A run that completes clears what changed before it began; what failed in it stays marked.
//
// Everything happens on the caller's thread; the platform is only asked when a run begins,
// while it runs (Drain from its yields) and when it ends.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/JournalTree.h"
#include "control/JournalWatch.h"
#include "engine/ChangeJournal.h"
#include "engine/FileSync.h"

class FolderJournal final : public FileSync::ChangeJournal {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::hours kLongestWithoutFullWalk{1};

    // Starts watching the two trees at once.
    FolderJournal(std::string source, std::string destination, Clock clock);
    ~FolderJournal() override;
    FolderJournal(const FolderJournal&) = delete;
    FolderJournal& operator=(const FolderJournal&) = delete;

    const std::string& Source() const { return source_.Top(); }
    const std::string& Destination() const { return destination_.Top(); }

    // Takes in what the platform queued; never blocks.
    void Drain();
    // A run begins; `userAsked` for a Start or Stop click. True when the run may leave out the
    // pairs the journal calls unchanged; false when it walks in full.
    bool BeginRun(bool userAsked);
    // The run has ended; `complete` when it walked all it was meant to (not stopped). The
    // folders of its failures stay marked, so the next run looks at them again.
    void EndRun(bool complete, const std::vector<FileSync::RunFailure>& failures);

    bool Unchanged(std::string_view sourceFolder,
                   std::string_view destinationFolder) const override;

    // Why runs walk in full, once for each time it comes up (for the run log); empty when
    // there is nothing new to say.
    std::string TakeNote();
    // Whether the journal cannot be had for these trees (a lasting reason).
    bool Unavailable() const { return lasting_; }

private:
    void Watch();
    void Lose(const Journal::JournalWatch::Trouble& trouble);
    void MarkFailure(const std::string& path);

    Journal::JournalTree source_;
    Journal::JournalTree destination_;
    Clock clock_;
    std::unique_ptr<Journal::JournalWatch> watch_;
    Journal::Mark next_ = 1;
    Journal::Mark watchedSince_ = 0;  // the mark the watch (re)started at
    Journal::Mark lastComplete_ = 0;  // the mark the last complete run began at
    Journal::Mark runStart_ = 0;      // of the run in progress, 0 when none
    bool runTrusts_ = false;
    bool runIsFull_ = false;
    std::chrono::steady_clock::time_point runStartedAt_;
    std::optional<std::chrono::steady_clock::time_point> lastFullWalk_;
    bool lasting_ = false;
    std::string note_;
};
