// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the backups of the window's Start/Stop clicks and timer ticks, one at a time.
//
// A run yields to the window's event queue, so clicks and ticks arrive while it is in progress.
// Such a request starts no second run on top of it: it is kept, and exactly one further run
// (with the folder texts of that later moment) follows when the current one ends.
#pragma once

#include <QDateTime>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/FolderJournal.h"
#include "engine/FileSync.h"

// A run that has ended, as the tray and the run log tell of it.
struct RunSummary {
    bool byTick = false;  // a timer tick's run, not a Start/Stop click's
    QDateTime startedAt;
    std::chrono::milliseconds duration{0};
    const FileSync::RunReport* report = nullptr;
};

// What a run needs from the window.
class BackupRunHost {
public:
    virtual ~BackupRunHost() = default;
    // The folder texts as they stand at this moment, exactly as typed.
    virtual QString sourceFolderText() const = 0;
    virtual QString destinationFolderText() const = 0;
    // The first status panel and its tool tip.
    virtual void setStatusText(const QString& text) = 0;
    virtual void setStatusToolTip(const QString& text) = 0;
    // Progress of the run in progress; null when the run has ended (its display goes away).
    virtual void showRunProgress(const FileSync::RunReport* report) = 0;
    // False once the window has closed: a run in progress stops at its next yield and leaves
    // the window alone.
    virtual bool isOpen() const = 0;
    // The identity of the file system `destination` was last found or made on (see
    // FileSync::RunOptions::destinationFileSystem); empty when none is remembered.
    virtual std::string rememberedFileSystem(const QString& /*destination*/) const { return {}; }
    // Remembers where a run found or made `destination`.
    virtual void rememberFileSystem(const QString& /*destination*/,
                                    const std::string& /*identity*/) {}
    // A run has ended while the window was open.
    virtual void runEnded(const RunSummary&) {}
};

class BackupRunner {
public:
    enum class Trigger {
        Click,  // the immediate backup of a Start/Stop click
        Tick,   // the periodic backup of a timer tick
    };
    using SyncEntry = std::function<void(std::string source, std::string destination,
                                         const FileSync::RunOptions& options)>;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // Least time between two event pumps while the engine works.
    static constexpr std::chrono::milliseconds kYieldInterval{10};

    explicit BackupRunner(BackupRunHost& host);

    // Runs a backup now and returns true when it (and any run requested meanwhile) has ended.
    // Returns false at once when a run is already in progress: the request is then kept.
    bool Request(Trigger trigger);
    bool IsRunning() const { return running_; }

    // The status texts of a run.
    static QString StartText(Trigger trigger);
    static QString DoneText(Trigger trigger, std::uint64_t failureCount);
    // The status tool tip after a run: what failed and why, the first kMaxListedFailures of it;
    // empty after a clean run.
    static constexpr std::size_t kMaxListedFailures = 20;
    static QString FailureList(const std::vector<FileSync::RunFailure>& failures);

    // Replaces the engine entry (tests).
    void SetSyncEntry(SyncEntry entry) { syncEntry_ = std::move(entry); }
    // The file system the runs work on (not owned); null is the platform's own.
    void SetFileSystem(FileSync::FileSystem* fileSystem) { fileSystem_ = fileSystem; }
    // Replaces the clock that spaces the event pumps and dates the journal's full walks (tests).
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    // Whether timed runs may leave out what the change journal calls unchanged (on by default
    // where the platform's watch is known to be dependable, see JournalWatch::OnByDefault; off,
    // every run walks both trees as a Start click does).
    void SetJournalEnabled(bool enabled);
    // The journal of the folders last backed up; null when there is none.
    FolderJournal* Journal() { return journal_.get(); }

private:
    void RunOnce(Trigger trigger);
    // Keeps where the run found or made the destination, unless it was refused.
    void RememberFileSystem(const QString& destination, const FileSync::RunReport& report);
    void YieldToWindow();
    // The journal for these folders, started when they change; null when disabled.
    FolderJournal* JournalFor(const std::string& source, const std::string& destination);

    BackupRunHost& host_;
    SyncEntry syncEntry_;
    FileSync::FileSystem* fileSystem_ = nullptr;
    Clock clock_ = [] { return std::chrono::steady_clock::now(); };
    bool running_ = false;
    std::optional<Trigger> pending_;
    FileSync::RunReport progress_;  // counters only
    std::chrono::steady_clock::time_point nextYield_;
    bool journalEnabled_ = Journal::JournalWatch::OnByDefault();
    std::unique_ptr<FolderJournal> journal_;
};
