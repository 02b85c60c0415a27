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
    : m_host(host),
      m_syncEntry([](const std::string& source, const std::string& destination,
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
    if (m_running) {
        // A click's texts matter more to the user than a tick's.
        if (!m_pending || trigger == Trigger::Click)
            m_pending = trigger;
        return false;
    }
    m_running = true;
    const auto runningEnds = qScopeGuard([this] { m_running = false; });

    RunOnce(trigger);
    while (m_pending && m_host.isOpen()) {
        const Trigger next = *m_pending;
        m_pending.reset();
        RunOnce(next);
    }
    m_pending.reset();
    return true;
}

void BackupRunner::RunOnce(Trigger trigger) {
    m_host.setStatusText(StartText(trigger));
    FileSync::RunReport report;
    FileSync::RunOptions options;
    options.report = &report;
    options.fileSystem = m_fileSystem;
    // Only the counters are copied: the engine calls this after every file.
    options.progress = [this](const FileSync::RunReport& progress) {
        m_progress.foldersVisited = progress.foldersVisited;
        m_progress.filesCompared = progress.filesCompared;
        m_progress.filesCopied = progress.filesCopied;
        m_progress.bytesCopied = progress.bytesCopied;
    };
    options.yield = [this] { YieldToWindow(); };
    options.runBlocking = RunBesideWindow;
    // A closed window ends the run between two copies; what it copied stays complete.
    options.stopRequested = [this] { return !m_host.isOpen(); };
    m_progress = FileSync::RunReport{};
    m_nextYield = m_clock() + kYieldInterval;
    m_host.showRunProgress(&m_progress);

    const QDateTime startedAt = QDateTime::currentDateTime();
    const auto started = m_clock();
    const QString source = m_host.sourceFolderText();
    const QString destination = m_host.destinationFolderText();
    // A tick never fills a disk the destination was not on; a click takes the one found.
    if (trigger == Trigger::Tick)
        options.destinationFileSystem = m_host.rememberedFileSystem(destination);
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
        m_syncEntry(NativePath(source), NativePath(destination), options);
        RememberFileSystem(destination, report);
        if (journal) {
            journal->EndRun(m_host.isOpen(), report.failures);
            if (std::string note = journal->TakeNote(); !note.empty())
                report.notes.push_back(std::move(note));
        }
    }

    if (!m_host.isOpen())
        return;
    m_host.showRunProgress(nullptr);
    // With a further run about to start, "done" would be untrue.
    if (!m_pending) {
        m_host.setStatusText(DoneText(trigger, report.failures.size()));
        m_host.setStatusToolTip(FailureList(report.failures));
    }
    if (namesFolders)
        m_host.runEnded({trigger == Trigger::Tick, startedAt,
                         std::chrono::duration_cast<std::chrono::milliseconds>(m_clock() - started),
                         &report});
}

void BackupRunner::RememberFileSystem(const QString& destination,
                                      const FileSync::RunReport& report) {
    for (const auto& failure : report.failures)
        if (failure.kind == FileSync::FailureKind::DriveNotAttached ||
            failure.kind == FileSync::FailureKind::TopUnreachable)
            return;
    if (!report.destinationFileSystem.empty() &&
        report.destinationFileSystem != m_host.rememberedFileSystem(destination))
        m_host.rememberFileSystem(destination, report.destinationFileSystem);
}

void BackupRunner::SetJournalEnabled(bool enabled) {
    m_journalEnabled = enabled;
    if (!enabled)
        m_journal.reset();
}

FolderJournal* BackupRunner::JournalFor(const std::string& source, const std::string& destination) {
    if (!m_journalEnabled)
        return nullptr;
    if (!m_journal || m_journal->Source() != source || m_journal->Destination() != destination)
        m_journal = std::make_unique<FolderJournal>(source, destination, m_clock);
    return m_journal.get();
}

void BackupRunner::YieldToWindow() {
    if (m_clock() < m_nextYield)
        return;
    // Keeps the journal's queue short while the run's own copies fill it.
    if (m_journal)
        m_journal->Drain();
    if (m_host.isOpen())
        m_host.showRunProgress(&m_progress);
    QCoreApplication::processEvents();
    m_nextYield = m_clock() + kYieldInterval;
}
