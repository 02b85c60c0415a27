// SPDX-License-Identifier: GPL-3.0-or-later
// The Start/Stop button, the tray's Start and Stop items and the period timer's tick, turned
// into backup runs and folder watches.
//
// The window's controls hold the state (the button's caption, the timer, the options); the
// controller reads and writes them through BackupControls and remembers only a watch that
// waits for the runs in progress. A watch never starts inside a run's yield: a run suspended
// under a watch would stay suspended for the whole watch, and every later run would queue
// behind it. So a watch asked for while a run is in progress starts once that run, and the one
// run queued behind it, have returned; the periodic backups then run nested in the watch.
#pragma once

#include <QString>

#include <cstdint>

#include "BackupPeriod.h"
#include "BackupRunner.h"

// What the controller needs from the window, besides what a run needs.
class BackupControls : public BackupRunHost {
public:
    virtual QString minutesText() const = 0;
    // Whether the folder-change option holds 1 (watch mode).
    virtual bool watchOptionChecked() const = 0;
    virtual QString startCaption() const = 0;
    virtual void setStartCaption(const QString& caption) = 0;
    // The period timer.
    virtual void setTimerInterval(std::int32_t milliseconds) = 0;
    virtual void setTimerEnabled(bool enabled) = 0;
};

class BackupController {
public:
    explicit BackupController(BackupControls& controls);

    BackupRunner& runner() { return runner_; }

    // The window's Start/Stop button.
    void WindowStartStop();
    // The tray menu's Start and Stop items.
    void TrayStart();
    void TrayStop();
    // A tick of the period timer.
    void Tick();
    // The window is closing: no waiting watch starts, and a running one ends.
    void WindowClosing();

    static QString StartCaption();
    static QString StopCaption();
    static QString NeedPeriodMessage();
    static QString NeedFoldersMessage();

private:
    // Runs a backup, or queues it behind the run in progress (then false). After the runs, a
    // watch asked for meanwhile starts.
    bool Backup(BackupRunner::Trigger trigger);
    void ApplyStart(const BackupPeriod::Period& period);
    void ApplyTimedStart(const BackupPeriod::Period& period);
    // Watches the source folder now, or once the run in progress has returned.
    void Watch();
    void StartWaitingWatch();
    void StopWatchAndTimer();

    BackupControls& controls_;
    BackupRunner runner_;
    // Grows with every Start or Stop command; a click whose backup was overtaken by a later
    // command leaves the state to that command.
    std::uint64_t commandSerial_ = 0;
    bool watchWaiting_ = false;
};
