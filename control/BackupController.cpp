// SPDX-License-Identifier: GPL-3.0-or-later
#include "BackupController.h"

#include "FileDetect.h"
#include "Messages.h"

using Kind = BackupPeriod::Period::Kind;
using Trigger = BackupRunner::Trigger;

BackupController::BackupController(BackupControls& controls)
    : controls_(controls), runner_(controls) {}

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
    const QString minutes = controls_.minutesText();
    const bool isStart = controls_.startCaption() == StartCaption();
    const BackupPeriod::Period period = BackupPeriod::FromMinutesText(minutes);
    // A timed Start needs a period the timer can hold; a caption "停止" over a timer that never
    // runs would claim backups that never come. 0 is a period that never fires, as designed.
    const bool timedStart = isStart && !controls_.watchOptionChecked();
    if (minutes.isEmpty() || (timedStart && period.kind != Kind::Minutes)) {
        ShowMessage(NeedPeriodMessage());
        return;
    }
    if (controls_.destinationFolderText().isEmpty() || controls_.sourceFolderText().isEmpty()) {
        ShowMessage(NeedFoldersMessage());
        return;
    }
    const std::uint64_t command = ++commandSerial_;
    // A click queued behind the run in progress takes effect now; its backup follows that run.
    if (Backup(Trigger::Click) && (!controls_.isOpen() || command != commandSerial_))
        return;
    if (isStart)
        ApplyStart(period);
    else
        StopWatchAndTimer();
}

void BackupController::TrayStart() {
    ++commandSerial_;
    ApplyStart(BackupPeriod::FromMinutesText(controls_.minutesText()));
}

void BackupController::TrayStop() {
    ++commandSerial_;
    StopWatchAndTimer();
}

void BackupController::Tick() {
    if (controls_.isOpen())
        Backup(Trigger::Tick);
}

void BackupController::WindowClosing() {
    watchWaiting_ = false;
    FileDetect::StopWatching();
}

bool BackupController::Backup(Trigger trigger) {
    if (!runner_.Request(trigger))
        return false;
    StartWaitingWatch();
    return true;
}

void BackupController::ApplyStart(const BackupPeriod::Period& period) {
    if (controls_.watchOptionChecked())
        Watch();
    else
        ApplyTimedStart(period);
}

void BackupController::ApplyTimedStart(const BackupPeriod::Period& period) {
    // Without a usable period (the tray's Start takes any text) the timer stays as it was.
    if (period.kind == Kind::Minutes) {
        controls_.setTimerInterval(period.intervalMs());
        controls_.setTimerEnabled(true);
    }
    controls_.setStartCaption(StopCaption());
}

void BackupController::Watch() {
    if (runner_.IsRunning()) {
        watchWaiting_ = true;
        return;
    }
    FileDetect::WatchFolder(controls_.sourceFolderText());
}

void BackupController::StartWaitingWatch() {
    if (!watchWaiting_)
        return;
    watchWaiting_ = false;
    if (controls_.isOpen())
        FileDetect::WatchFolder(controls_.sourceFolderText());
}

void BackupController::StopWatchAndTimer() {
    watchWaiting_ = false;
    FileDetect::StopWatching();
    controls_.setTimerEnabled(false);
    controls_.setStartCaption(StartCaption());
}
