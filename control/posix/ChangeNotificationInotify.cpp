// SPDX-License-Identifier: GPL-3.0-or-later
// Linux change notification: one inotify instance per watch, watching the folder alone.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "FolderWatch.h"

namespace ChangeNotification {
namespace {

constexpr uint32_t NameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// The folder itself went away or stopped being watchable: no change can be seen any more.
constexpr uint32_t EndEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

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

class InotifyWatch : public FolderWatch {
public:
    InotifyWatch(int descriptor, unsigned filter) : descriptor_(descriptor), filter_(filter) {}
    ~InotifyWatch() override { close(descriptor_); }
    // The watch owns its descriptor: a copy would close it twice.
    InotifyWatch(const InotifyWatch&) = delete;
    InotifyWatch& operator=(const InotifyWatch&) = delete;

    // Reads every queued event.
    Drained Drain() override {
        Drained drained;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t length = read(descriptor_, buffer, sizeof buffer);
            if (length < 0 && errno == EINTR)
                continue;
            if (length <= 0) {
                if (length < 0 && errno != EAGAIN)
                    drained.ended = true;
                return drained;
            }
            for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= length;) {
                inotify_event event;
                std::memcpy(&event, buffer + at, sizeof event);
                if (IsWatchedChange(event, filter_))
                    drained.changed = true;
                if (event.mask & EndEvents)
                    drained.ended = true;
                at += sizeof(inotify_event) + event.len;
            }
        }
    }

    std::intptr_t Waitable() const override { return descriptor_; }

    void Block(int milliseconds) override {
        pollfd readable{descriptor_, POLLIN, 0};
        poll(&readable, 1, milliseconds);
    }

private:
    int descriptor_;
    unsigned filter_;
};

}  // namespace

std::unique_ptr<FolderWatch> FolderWatch::Open(const std::string& path, unsigned filter) {
    if (path.empty() || path.find('\0') != std::string::npos)
        return nullptr;
    const int descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0)
        return nullptr;
    if (inotify_add_watch(descriptor, path.c_str(), InotifyMask(filter)) < 0) {
        close(descriptor);
        return nullptr;
    }
    return std::make_unique<InotifyWatch>(descriptor, filter);
}

}  // namespace ChangeNotification
