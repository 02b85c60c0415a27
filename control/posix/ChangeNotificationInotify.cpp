// Linux change notification: one inotify instance per handle, watching the folder alone. Handles
// are serial numbers, not descriptors, so a handle closed from a nested handler can never be
// confused with a later watch that got the same descriptor number.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <vector>

#include "ChangeNotification.h"

namespace ChangeNotification {
namespace {

constexpr uint32_t NameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// The folder itself went away or stopped being watchable: no change can be seen any more.
constexpr uint32_t EndEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

// One wait in a nested event loop, woken by the descriptor, the time-out or a close.
class Sleeper {
public:
    explicit Sleeper(int descriptor) : notifier_(descriptor, QSocketNotifier::Read) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, &loop_, [this] { Wake(); });
    }
    // `woken` stays false when the loop returned for another reason (the application is
    // quitting), so the caller knows no time has passed.
    bool Sleep(int milliseconds) {
        QTimer::singleShot(milliseconds, &loop_, [this] { Wake(); });
        loop_.exec();
        return woken_;
    }
    // Also called by a close: the notifier must let go of the descriptor before it is closed.
    void Wake() {
        woken_ = true;
        notifier_.setEnabled(false);
        loop_.quit();
    }

private:
    QEventLoop loop_;
    QSocketNotifier notifier_;
    bool woken_ = false;
};

struct FolderWatch {
    int descriptor = -1;
    unsigned filter = 0;
    bool signalled = false;
    bool gone = false;
    std::vector<Sleeper*> sleepers;
};

std::map<Handle, FolderWatch> OpenWatches;
Handle LastHandle = NoHandle;

Handle NextHandle() {
    do {
        LastHandle = LastHandle == std::numeric_limits<Handle>::max() ? 1 : LastHandle + 1;
    } while (OpenWatches.count(LastHandle));
    return LastHandle;
}

uint32_t InotifyMask(unsigned filter) {
    uint32_t mask = IN_ONLYDIR | IN_DELETE_SELF | IN_MOVE_SELF;
    if (filter & (FileNameChanges | FolderNameChanges))
        mask |= NameEvents;
    if (filter & AttributeChanges)
        mask |= IN_ATTRIB;
    if (filter & SizeChanges)
        mask |= IN_MODIFY;
    if (filter & LastWriteChanges)
        mask |= IN_MODIFY | IN_CLOSE_WRITE;
    return mask;
}

// The watch covers the entries directly in the folder: events about the folder itself never
// count, and events about a subfolder entry count only when folder names are watched.
bool IsWatchedChange(const inotify_event& event, unsigned filter) {
    if (event.mask & IN_Q_OVERFLOW)
        return true;  // events were lost; one of them may count
    if (event.len == 0)
        return false;
    if (event.mask & IN_ISDIR)
        return (filter & FolderNameChanges) && (event.mask & NameEvents);
    if (event.mask & NameEvents)
        return filter & FileNameChanges;
    if (event.mask & IN_ATTRIB)
        return filter & AttributeChanges;
    if (event.mask & IN_MODIFY)
        return filter & (SizeChanges | LastWriteChanges);
    if (event.mask & IN_CLOSE_WRITE)
        return filter & LastWriteChanges;
    return false;
}

// Reads every queued event into the watch's signal and end state.
void ReadEvents(FolderWatch& watch) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t length = read(watch.descriptor, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0) {
            if (length < 0 && errno != EAGAIN)
                watch.gone = true;
            return;
        }
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= length;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            if (IsWatchedChange(event, watch.filter))
                watch.signalled = true;
            if (event.mask & EndEvents)
                watch.gone = true;
            at += sizeof(inotify_event) + event.len;
        }
    }
}

WaitResult CurrentState(FolderWatch& watch) {
    // Events queued after the signal are left for the next signal, after the re-arm.
    if (!watch.signalled)
        ReadEvents(watch);
    if (watch.signalled)
        return WaitResult::Signalled;
    if (watch.gone)
        return WaitResult::Failed;
    return WaitResult::TimedOut;
}

void BlockOnDescriptor(int descriptor, int milliseconds) {
    pollfd readable{descriptor, POLLIN, 0};
    poll(&readable, 1, milliseconds);
}

// Sleeps until the watch's descriptor is readable, the time is up or the handle is closed.
void SleepOnWatch(Handle handle, int milliseconds) {
    const int descriptor = OpenWatches.at(handle).descriptor;
    if (!QCoreApplication::instance()) {
        BlockOnDescriptor(descriptor, milliseconds);
        return;
    }
    Sleeper sleeper(descriptor);
    OpenWatches.at(handle).sleepers.push_back(&sleeper);
    const bool woken = sleeper.Sleep(milliseconds);
    const auto watch = OpenWatches.find(handle);
    if (watch == OpenWatches.end())
        return;  // closed meanwhile; the close forgot the sleeper
    std::erase(watch->second.sleepers, &sleeper);
    // An event loop that cannot run must not turn the caller's wait loop into a spin.
    if (!woken)
        BlockOnDescriptor(descriptor, milliseconds);
}

}  // namespace

Handle OpenFolderWatch(const QString& path, unsigned filter) {
    if (path.isEmpty() || path.contains(QChar(0)))
        return InvalidHandle;
    const int descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0)
        return InvalidHandle;
    if (inotify_add_watch(descriptor, QFile::encodeName(path).constData(), InotifyMask(filter)) <
        0) {
        close(descriptor);
        return InvalidHandle;
    }
    const Handle handle = NextHandle();
    FolderWatch& watch = OpenWatches[handle];
    watch.descriptor = descriptor;
    watch.filter = filter;
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
    close(watch->second.descriptor);
    OpenWatches.erase(watch);
}

}  // namespace ChangeNotification
