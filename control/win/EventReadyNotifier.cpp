// SPDX-License-Identifier: GPL-3.0-or-later
// The waitable of a Windows watch is the event handle its overlapped read sets.
#include <QWinEventNotifier>

#include "ReadyNotifier.h"

namespace ChangeNotification {
namespace {

class EventReadyNotifier : public ReadyNotifier {
public:
    EventReadyNotifier(std::intptr_t waitable, QObject* context, std::function<void()> wake)
        : notifier_(reinterpret_cast<Qt::HANDLE>(waitable)) {
        QObject::connect(&notifier_, &QWinEventNotifier::activated, context, std::move(wake));
    }
    void Disable() override { notifier_.setEnabled(false); }

private:
    QWinEventNotifier notifier_;
};

}  // namespace

std::unique_ptr<ReadyNotifier> ReadyNotifier::Watch(std::intptr_t waitable, QObject* context,
                                                    std::function<void()> wake) {
    return std::make_unique<EventReadyNotifier>(waitable, context, std::move(wake));
}

}  // namespace ChangeNotification
