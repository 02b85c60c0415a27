// SPDX-License-Identifier: GPL-3.0-or-later
#include "BackupController.h"

#include "FileDetect.h"
#include "Messages.h"

using Kind = BackupPeriod::Period::Kind;
using Trigger = BackupRunner::Trigger;

BackupController::BackupController(BackupControls& controls)
    : m_controls(controls), m_runner(controls) {}

QString BackupController::StartCaption() {
    return QStringLiteral("开始");
}

QString BackupController::StopCaption() {
    return QStringLiteral("停止");
}

QString BackupController::NeedPeriodMessage() {
    return QStringLiteral("你必须输入备份周期才能备份. 默认为1分钟.");
}

QString BackupController::NeedFoldersMessage() {
    return QStringLiteral("你必须输入源文件夹和目标文件夹!");
}

void BackupController::WindowStartStop() {
    const QString minutes = m_controls.minutesText();
    const bool isStart = m_controls.startCaption() == StartCaption();
    const BackupPeriod::Period period = BackupPeriod::FromMinutesText(minutes);
    // A timed Start needs a period the timer can hold; a caption "停止" over a timer that never
    // runs would claim backups that never come. 0 is a period that never fires, as designed.
    const bool timedStart = isStart && !m_controls.watchOptionChecked();
    if (minutes.isEmpty() || (timedStart && period.kind != Kind::Minutes)) {
        ShowMessage(NeedPeriodMessage());
        return;
    }
    if (m_controls.destinationFolderText().isEmpty() || m_controls.sourceFolderText().isEmpty()) {
        ShowMessage(NeedFoldersMessage());
        return;
    }
    const std::uint64_t command = ++m_commandSerial;
    // A click queued behind the run in progress takes effect now; its backup follows that run.
    if (Backup(Trigger::Click) && (!m_controls.isOpen() || command != m_commandSerial))
        return;
    if (isStart)
        ApplyStart(period);
    else
        StopWatchAndTimer();
}

void BackupController::TrayStart() {
    ++m_commandSerial;
    ApplyStart(BackupPeriod::FromMinutesText(m_controls.minutesText()));
}

void BackupController::TrayStop() {
    ++m_commandSerial;
    StopWatchAndTimer();
}

void BackupController::Tick() {
    if (m_controls.isOpen())
        Backup(Trigger::Tick);
}

void BackupController::WindowClosing() {
    m_watchWaiting = false;
    FileDetect::StopWatching();
}

bool BackupController::Backup(Trigger trigger) {
    if (!m_runner.Request(trigger))
        return false;
    StartWaitingWatch();
    return true;
}

void BackupController::ApplyStart(const BackupPeriod::Period& period) {
    if (m_controls.watchOptionChecked())
        Watch();
    else
        ApplyTimedStart(period);
}

void BackupController::ApplyTimedStart(const BackupPeriod::Period& period) {
    // Without a usable period (the tray's Start takes any text) the timer stays as it was.
    if (period.kind == Kind::Minutes) {
        m_controls.setTimerInterval(period.intervalMs());
        m_controls.setTimerEnabled(true);
    }
    m_controls.setStartCaption(StopCaption());
}

void BackupController::Watch() {
    if (m_runner.IsRunning()) {
        m_watchWaiting = true;
        return;
    }
    FileDetect::WatchFolder(m_controls.sourceFolderText());
}

void BackupController::StartWaitingWatch() {
    if (!m_watchWaiting)
        return;
    m_watchWaiting = false;
    if (m_controls.isOpen())
        FileDetect::WatchFolder(m_controls.sourceFolderText());
}

void BackupController::StopWatchAndTimer() {
    m_watchWaiting = false;
    FileDetect::StopWatching();
    m_controls.setTimerEnabled(false);
    m_controls.setStartCaption(StartCaption());
}
