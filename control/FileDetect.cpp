// SPDX-License-Identifier: GPL-3.0-or-later
#include "FileDetect.h"

#include <QCoreApplication>

#include "Messages.h"

namespace FileDetect {

ChangeHandle WatchHandle = ChangeNotification::kNoHandle;
bool WatchStopFlag = false;

namespace {

// WatchFolder calls on the stack. Only the innermost can be unstopped: a new watch starts only
// when every watch below it has been stopped and is merely waiting to unwind (for instance
// behind an open message box).
int WatchLoopsOnStack = 0;

class WatchLoopOnStack {
public:
    WatchLoopOnStack() { ++WatchLoopsOnStack; }
    ~WatchLoopOnStack() { --WatchLoopsOnStack; }
    WatchLoopOnStack(const WatchLoopOnStack&) = delete;
    WatchLoopOnStack& operator=(const WatchLoopOnStack&) = delete;
};

bool AWatchIsRunning() {
    return WatchLoopsOnStack > 0 && !WatchStopFlag;
}

void LetPendingEventsRun() {
    QCoreApplication::processEvents();
}

QString StartMessage(const QString& path) {
    return QStringLiteral("现在将开始检视文件夹 ") + path + QStringLiteral(" .. 单击 OK");
}
QString FirstChangeMessage() {
    return QStringLiteral("当前检视的文件夹已经发生过改变. 继续检视 Resuming watch...");
}
QString FurtherChangeMessage() {
    return QStringLiteral("检视的文件夹再次发生改变.");
}
QString EndMessage(const QString& path) {
    return QStringLiteral("检视的文件夹已经终止 ") + path;
}
QString CannotWatchMessage(const QString& path) {
    return QStringLiteral("无法检视文件夹 ") + path;
}

// A wait loop that ended without a stop ended because the folder was deleted, moved away or
// unmounted. Such a watch is over: release it the way a stop does, so no handle outlives it.
bool EndedWithoutStop() {
    if (WatchStopFlag)
        return false;
    StopWatching();
    return true;
}

// A file created, deleted or renamed; attributes changed; last write time changed.
constexpr unsigned kNotifyFilter = ChangeNotification::kFileNameChanges |
                                   ChangeNotification::kAttributeChanges |
                                   ChangeNotification::kLastWriteChanges;
constexpr int kWaitSliceMs = 100;

// Opens the change notification for `path` with `filter`, subfolders not included.
ChangeHandle OpenChangeWatch(const QString& path, unsigned filter) {
    return ChangeNotification::OpenFolderWatch(path, filter);
}

// Raises the stop flag, lets pending events run once, then closes `handle`.
void CloseChangeWatch(ChangeHandle handle) {
    WatchStopFlag = true;
    LetPendingEventsRun();
    ChangeNotification::CloseFolderWatch(handle);
}

// Waits in slices of `sliceMs`, letting pending events run after each, until a change is
// signalled (Signalled), the watch is stopped (TimedOut) or the handle fails (Failed).
// `handle` is the first slice's handle; later slices use WatchHandle as it is then.
WaitResult WaitForChange(ChangeHandle handle, int sliceMs) {
    WaitResult result;
    do {
        result = ChangeNotification::WaitForFolderChange(handle, sliceMs);
        LetPendingEventsRun();
        handle = WatchHandle;
        // A failed wait fails again at once: going on would spin.
    } while (!WatchStopFlag && result == WaitResult::TimedOut);
    return result;
}

// Re-arms `handle`, then waits like WaitForChange; true when the wait ended without a change.
bool WaitForNextChange(ChangeHandle handle, int sliceMs) {
    ChangeNotification::RearmFolderWatch(handle);
    return WaitForChange(handle, sliceMs) != WaitResult::Signalled;
}

}  // namespace

// The path is a copy: the caller's string may change in a handler nested in the watch.
void WatchFolder(QString path) {  // NOLINT(performance-unnecessary-value-param)
    if (AWatchIsRunning())
        return;
    const WatchLoopOnStack onStack;
    WatchStopFlag = false;
    ShowMessage(StartMessage(path));
    if (WatchStopFlag)
        return;  // stopped while the start message was open

    WatchHandle = OpenChangeWatch(path, kNotifyFilter);
    if (WatchHandle <= 0) {
        WatchHandle = ChangeNotification::kNoHandle;
        WatchStopFlag = true;
        ShowMessage(CannotWatchMessage(path));
        return;
    }

    if (WaitForChange(WatchHandle, kWaitSliceMs) != WaitResult::Signalled) {
        // Stopped before any change: silent. The folder gone: the user did not end the watch,
        // so say that it ended.
        if (EndedWithoutStop())
            ShowMessage(EndMessage(path));
        return;
    }
    ShowMessage(FirstChangeMessage());
    for (;;) {
        const bool ended = WaitForNextChange(WatchHandle, kWaitSliceMs);
        if (ended) {
            EndedWithoutStop();
            ShowMessage(EndMessage(path));
        } else {
            ShowMessage(FurtherChangeMessage());
        }
        LetPendingEventsRun();
        if (ended)
            return;
    }
}

void StopWatching() {
    // Cleared before the close yields, so a handler nested in that yield sees no handle.
    const ChangeHandle handle = WatchHandle;
    WatchHandle = ChangeNotification::kNoHandle;
    if (handle > 0) {
        CloseChangeWatch(handle);
    } else if (WatchLoopsOnStack > 0) {
        WatchStopFlag = true;  // still announcing: the handle is not open yet
    }
}

}  // namespace FileDetect
