// SPDX-License-Identifier: GPL-3.0-or-later
#include "FolderJournal.h"

#include <utility>

FolderJournal::FolderJournal(std::string source, std::string destination, Clock clock)
    : source_(std::move(source), Journal::JournalWatch::KnowsEveryFolder()),
      destination_(std::move(destination), Journal::JournalWatch::KnowsEveryFolder()),
      clock_(std::move(clock)) {
    Watch();
}

FolderJournal::~FolderJournal() = default;

void FolderJournal::Watch() {
    watch_.reset();
    source_ = Journal::JournalTree(source_.Top(), Journal::JournalWatch::KnowsEveryFolder());
    destination_ =
        Journal::JournalTree(destination_.Top(), Journal::JournalWatch::KnowsEveryFolder());
    Journal::JournalWatch::Trouble trouble;
    watch_ = Journal::JournalWatch::Open(source_, destination_, trouble);
    watchedSince_ = next_++;
    if (!watch_)
        Lose(trouble);
}

void FolderJournal::Lose(const Journal::JournalWatch::Trouble& trouble) {
    // A watch that never ran (a top still missing) has nothing to tell: it is tried again.
    const bool wasWatching = watch_ != nullptr;
    watch_.reset();
    if (lasting_ || (!wasWatching && !trouble.lasting))
        return;
    lasting_ = trouble.lasting;
    note_ = (trouble.lasting ? "No change journal for these folders, every run walks both trees: "
                             : "Walked both trees in full, the change journal may have missed "
                               "changes: ") +
            trouble.reason;
}

void FolderJournal::Drain() {
    if (!watch_)
        return;
    const Journal::JournalWatch::Trouble trouble = watch_->Drain(next_);
    if (!trouble.reason.empty())
        Lose(trouble);
}

bool FolderJournal::BeginRun(bool userAsked) {
    Drain();
    // Lost changes: watched anew, and this run walks in full, so the next may trust it again.
    if (!watch_ && !lasting_)
        Watch();
    runStart_ = next_++;
    runStartedAt_ = clock_();
    const bool fresh = lastFullWalk_ && runStartedAt_ - *lastFullWalk_ <= kLongestWithoutFullWalk;
    runTrusts_ = watch_ && !userAsked && fresh && lastComplete_ > watchedSince_;
    runIsFull_ = !runTrusts_;
    return runTrusts_;
}

void FolderJournal::EndRun(bool complete, const std::vector<FileSync::RunFailure>& failures) {
    Drain();
    if (complete && watch_ && runStart_ > watchedSince_) {
        for (const FileSync::RunFailure& failure : failures)
            MarkFailure(failure.path);
        source_.ClearBefore(runStart_);
        destination_.ClearBefore(runStart_);
        lastComplete_ = runStart_;
        if (runIsFull_)
            lastFullWalk_ = runStartedAt_;
    }
    runStart_ = 0;
    runTrusts_ = false;
}

// What failed is looked at again by the next run: a failed folder whole, a failed entry
// through its folder; a path in neither tree leaves nothing out.
void FolderJournal::MarkFailure(const std::string& path) {
    std::vector<std::string_view> names;
    bool inTree = false;
    for (Journal::JournalTree* tree : {&source_, &destination_}) {
        if (!tree->NamesBelowTop(path, names))
            continue;
        inTree = true;
        std::size_t depth = 0;
        Journal::FolderNode& deepest = tree->Deepest(names, depth);
        if (depth + 1 == names.size()) {
            tree->MarkOwn(deepest, next_);
            // Where only marked folders have nodes, a folder without one counts as unchanged.
            if (!Journal::JournalWatch::KnowsEveryFolder())
                tree->MarkWhole(tree->Reach(names), next_);
        } else {
            tree->MarkWhole(deepest, next_);
        }
    }
    if (!inTree) {
        source_.MarkWhole(source_.Root(), next_);
        destination_.MarkWhole(destination_.Root(), next_);
    }
}

bool FolderJournal::Unchanged(std::string_view sourceFolder,
                              std::string_view destinationFolder) const {
    return runTrusts_ && watch_ && source_.Clean(sourceFolder) &&
           destination_.Clean(destinationFolder);
}

std::string FolderJournal::TakeNote() {
    return std::exchange(note_, std::string());
}
