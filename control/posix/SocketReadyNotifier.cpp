// SPDX-License-Identifier: GPL-3.0-or-later
// The waitable of a POSIX watch is a descriptor that turns readable.
#include <QSocketNotifier>

#include "ReadyNotifier.h"

namespace ChangeNotification {
namespace {

class SocketReadyNotifier : public ReadyNotifier {
public:
    SocketReadyNotifier(std::intptr_t waitable, QObject* context, std::function<void()> wake)
        : notifier_(qintptr(waitable), QSocketNotifier::Read) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, context, std::move(wake));
    }
    void Disable() override { notifier_.setEnabled(false); }

private:
    QSocketNotifier notifier_;
};

}  // namespace

std::unique_ptr<ReadyNotifier> ReadyNotifier::Watch(std::intptr_t waitable, QObject* context,
                                                    std::function<void()> wake) {
    return std::make_unique<SocketReadyNotifier>(waitable, context, std::move(wake));
}

}  // namespace ChangeNotification
