// SPDX-License-Identifier: GPL-3.0-or-later
// The platform-neutral part of change notification: handles, the signal and re-arm state, and
// waits that sleep in a nested event loop. Handles are serial numbers, not the platform's
// descriptors or handles, so a handle closed from a nested handler can never be confused with
// a later watch that got the same platform number.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <vector>

#include "ChangeNotification.h"
#include "FolderWatch.h"
#include "ReadyNotifier.h"

namespace ChangeNotification {
namespace {

// One wait in a nested event loop, woken by the watch, the time-out or a close.
class Sleeper {
public:
    explicit Sleeper(std::intptr_t waitable)
        : notifier_(ReadyNotifier::Watch(waitable, &loop_, [this] { Wake(); })) {}
    // `woken` stays false when the loop returned for another reason (the application is
    // quitting), so the caller knows no time has passed.
    bool Sleep(int milliseconds) {
        QTimer::singleShot(milliseconds, &loop_, [this] { Wake(); });
        loop_.exec();
        return woken_;
    }
    // Also called by a close: the notifier must let go of the waitable before it is closed.
    void Wake() {
        woken_ = true;
        notifier_->Disable();
        loop_.quit();
    }

private:
    QEventLoop loop_;
    std::unique_ptr<ReadyNotifier> notifier_;
    bool woken_ = false;
};

struct OpenWatch {
    std::unique_ptr<FolderWatch> platform;
    bool signalled = false;
    bool gone = false;
    std::vector<Sleeper*> sleepers;
};

std::map<Handle, OpenWatch> OpenWatches;
Handle LastHandle = kNoHandle;

Handle NextHandle() {
    do {
        LastHandle = LastHandle == std::numeric_limits<Handle>::max() ? 1 : LastHandle + 1;
    } while (OpenWatches.count(LastHandle));
    return LastHandle;
}

WaitResult CurrentState(OpenWatch& watch) {
    // Changes queued after the signal are left for the next signal, after the re-arm.
    if (!watch.signalled) {
        const FolderWatch::Drained drained = watch.platform->Drain();
        watch.signalled = drained.changed;
        watch.gone = watch.gone || drained.ended;
    }
    if (watch.signalled)
        return WaitResult::Signalled;
    if (watch.gone)
        return WaitResult::Failed;
    return WaitResult::TimedOut;
}

// Sleeps until the watch may have news, the time is up or the handle is closed.
void SleepOnWatch(Handle handle, int milliseconds) {
    FolderWatch& platform = *OpenWatches.at(handle).platform;
    if (platform.LongestSleep() >= 0)
        milliseconds = std::min(milliseconds, platform.LongestSleep());
    if (!QCoreApplication::instance()) {
        platform.Block(milliseconds);
        return;
    }
    Sleeper sleeper(platform.Waitable());
    OpenWatches.at(handle).sleepers.push_back(&sleeper);
    const bool woken = sleeper.Sleep(milliseconds);
    const auto watch = OpenWatches.find(handle);
    if (watch == OpenWatches.end())
        return;  // closed meanwhile; the close forgot the sleeper
    std::erase(watch->second.sleepers, &sleeper);
    // An event loop that cannot run must not turn the caller's wait loop into a spin.
    if (!woken)
        watch->second.platform->Block(milliseconds);
}

}  // namespace

Handle OpenFolderWatch(const QString& path, unsigned filter) {
    std::unique_ptr<FolderWatch> platform = FolderWatch::Open(path.toStdString(), filter);
    if (!platform)
        return kInvalidHandle;
    const Handle handle = NextHandle();
    OpenWatches[handle].platform = std::move(platform);
    return handle;
}

void RearmFolderWatch(Handle handle) {
    const auto watch = OpenWatches.find(handle);
    if (watch != OpenWatches.end())
        watch->second.signalled = false;
}

WaitResult WaitForFolderChange(Handle handle, int milliseconds) {
    const QDeadlineTimer deadline(std::max(milliseconds, 0));
    for (;;) {
        const auto watch = OpenWatches.find(handle);
        if (watch == OpenWatches.end())
            return WaitResult::Failed;
        const WaitResult state = CurrentState(watch->second);
        if (state != WaitResult::TimedOut || deadline.hasExpired())
            return state;
        SleepOnWatch(handle, int(deadline.remainingTime()));
    }
}

void CloseFolderWatch(Handle handle) {
    const auto watch = OpenWatches.find(handle);
    if (watch == OpenWatches.end())
        return;
    for (Sleeper* sleeper : watch->second.sleepers)
        sleeper->Wake();
    OpenWatches.erase(watch);
}

}  // namespace ChangeNotification
