// SPDX-License-Identifier: GPL-3.0-or-later
// Wakes a nested event loop when a watch's waitable turns ready: a descriptor that turns
// readable on POSIX, an event handle that is set on Windows. One implementation per platform.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>

namespace ChangeNotification {

class ReadyNotifier {
public:
    // Calls `wake` in `context`'s thread each time `waitable` (not owned) turns ready.
    static std::unique_ptr<ReadyNotifier> Watch(std::intptr_t waitable, QObject* context,
                                                std::function<void()> wake);

    virtual ~ReadyNotifier() = default;
    // Lets go of the waitable, which may be closed from then on.
    virtual void Disable() = 0;
};

}  // namespace ChangeNotification
