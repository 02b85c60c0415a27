// SPDX-License-Identifier: GPL-3.0-or-later
#include "BackupRunner.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QScopeGuard>
#include <QStringList>

#include <exception>
#include <thread>

#include "FailureReasons.h"

namespace {

// The engine takes and gives paths in UTF-8 on every platform.
std::string NativePath(const QString& text) {
    return text.toStdString();
}

QString DisplayText(const std::string& native) {
    return QString::fromStdString(native);
}

// Runs a step that waits on the device (the final flush to disk can take seconds on a USB
// stick) on a thread of its own, while the window goes on answering; passes on what it threw.
void RunBesideWindow(const std::function<void()>& step) {
    std::exception_ptr failure;
    QEventLoop waiting;
    std::thread worker([&] {
        try {
            step();
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(&waiting, &QEventLoop::quit, Qt::QueuedConnection);
    });
    waiting.exec();
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace

BackupRunner::BackupRunner(BackupRunHost& host)
    : host_(host),
      syncEntry_([](const std::string& source, const std::string& destination,
                    const FileSync::RunOptions& options) {
          FileSync::SyncFolderTree(source, destination, options);
      }) {}

QString BackupRunner::StartText(Trigger trigger) {
    return trigger == Trigger::Click ? QStringLiteral("Backing up...")
                                     : QStringLiteral("正在备份中...");
}

QString BackupRunner::DoneText(Trigger trigger, std::uint64_t failureCount) {
    QString text =
        trigger == Trigger::Click ? QStringLiteral("完毕.") : QStringLiteral("备份完毕.");
    if (failureCount > 0)
        text += QStringLiteral(" 有 %1 个项目未能复制.").arg(failureCount);
    return text;
}

QString BackupRunner::FailureList(const std::vector<FileSync::RunFailure>& failures) {
    QStringList lines;
    for (std::size_t i = 0; i < failures.size() && i < kMaxListedFailures; ++i)
        lines << DisplayText(failures[i].path) + QStringLiteral(": ") + ReasonText(failures[i]);
    if (failures.size() > kMaxListedFailures)
        lines << QStringLiteral("及另外 %1 项").arg(failures.size() - kMaxListedFailures);
    return lines.join(u'\n');
}

bool BackupRunner::Request(Trigger trigger) {
    if (running_) {
        // A click's texts matter more to the user than a tick's.
        if (!pending_ || trigger == Trigger::Click)
            pending_ = trigger;
        return false;
    }
    running_ = true;
    const auto runningEnds = qScopeGuard([this] { running_ = false; });

    RunOnce(trigger);
    while (pending_ && host_.isOpen()) {
        const Trigger next = *pending_;
        pending_.reset();
        RunOnce(next);
    }
    pending_.reset();
    return true;
}

void BackupRunner::RunOnce(Trigger trigger) {
    host_.setStatusText(StartText(trigger));
    FileSync::RunReport report;
    FileSync::RunOptions options;
    options.report = &report;
    options.fileSystem = fileSystem_;
    // Only the counters are copied: the engine calls this after every file.
    options.progress = [this](const FileSync::RunReport& progress) {
        progress_.foldersVisited = progress.foldersVisited;
        progress_.filesCompared = progress.filesCompared;
        progress_.filesCopied = progress.filesCopied;
        progress_.bytesCopied = progress.bytesCopied;
    };
    options.yield = [this] { YieldToWindow(); };
    options.runBlocking = RunBesideWindow;
    // A closed window ends the run between two copies; what it copied stays complete.
    options.stopRequested = [this] { return !host_.isOpen(); };
    progress_ = FileSync::RunReport{};
    nextYield_ = clock_() + kYieldInterval;
    host_.showRunProgress(&progress_);

    const QDateTime startedAt = QDateTime::currentDateTime();
    const auto started = clock_();
    const QString source = host_.sourceFolderText();
    const QString destination = host_.destinationFolderText();
    // A tick never fills a disk the destination was not on; a click takes the one found.
    if (trigger == Trigger::Tick)
        options.destinationFileSystem = host_.rememberedFileSystem(destination);
    // A folder box left empty names no folder: nothing to do, and nothing failed.
    const bool namesFolders = !source.isEmpty() && !destination.isEmpty();
    if (namesFolders) {
        FolderJournal* journal = JournalFor(NativePath(source), NativePath(destination));
        // A click is the user asking for a backup now: it walks in full.
        if (journal && journal->BeginRun(trigger == Trigger::Click)) {
            options.journal = journal;
            // Only the few pairs the journal calls changed are read: nothing to read ahead.
            options.readAheadThreads = 0;
        }
        syncEntry_(NativePath(source), NativePath(destination), options);
        RememberFileSystem(destination, report);
        if (journal) {
            journal->EndRun(host_.isOpen(), report.failures);
            if (std::string note = journal->TakeNote(); !note.empty())
                report.notes.push_back(std::move(note));
        }
    }

    if (!host_.isOpen())
        return;
    host_.showRunProgress(nullptr);
    // With a further run about to start, "done" would be untrue.
    if (!pending_) {
        host_.setStatusText(DoneText(trigger, report.failures.size()));
        host_.setStatusToolTip(FailureList(report.failures));
    }
    if (namesFolders)
        host_.runEnded({trigger == Trigger::Tick, startedAt,
                        std::chrono::duration_cast<std::chrono::milliseconds>(clock_() - started),
                        &report});
}

void BackupRunner::RememberFileSystem(const QString& destination,
                                      const FileSync::RunReport& report) {
    for (const auto& failure : report.failures)
        if (failure.kind == FileSync::FailureKind::DriveNotAttached ||
            failure.kind == FileSync::FailureKind::TopUnreachable)
            return;
    if (!report.destinationFileSystem.empty() &&
        report.destinationFileSystem != host_.rememberedFileSystem(destination))
        host_.rememberFileSystem(destination, report.destinationFileSystem);
}

void BackupRunner::SetJournalEnabled(bool enabled) {
    journalEnabled_ = enabled;
    if (!enabled)
        journal_.reset();
}

FolderJournal* BackupRunner::JournalFor(const std::string& source, const std::string& destination) {
    if (!journalEnabled_)
        return nullptr;
    if (!journal_ || journal_->Source() != source || journal_->Destination() != destination)
        journal_ = std::make_unique<FolderJournal>(source, destination, clock_);
    return journal_.get();
}

void BackupRunner::YieldToWindow() {
    if (clock_() < nextYield_)
        return;
    // Keeps the journal's queue short while the run's own copies fill it.
    if (journal_)
        journal_->Drain();
    if (host_.isOpen())
        host_.showRunProgress(&progress_);
    QCoreApplication::processEvents();
    nextYield_ = clock_() + kYieldInterval;
}
