// SPDX-License-Identifier: GPL-3.0-or-later
#include "PeriodTimer.h"

PeriodTimer::PeriodTimer(QObject* parent) : QObject(parent) {
    clock_.setTimerType(Qt::CoarseTimer);
    connect(&clock_, &QTimer::timeout, this, &PeriodTimer::tick);
}

void PeriodTimer::setEnabled(bool enabled) {
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    Apply();
}

bool PeriodTimer::setInterval(int milliseconds) {
    if (milliseconds < 0)
        return false;
    interval_ = milliseconds;
    Apply();
    return true;
}

void PeriodTimer::Apply() {
    clock_.stop();
    if (enabled_ && interval_ > 0)
        clock_.start(interval_);
}
