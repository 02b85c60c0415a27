// SPDX-License-Identifier: GPL-3.0-or-later
#include "PeriodTimer.h"

PeriodTimer::PeriodTimer(QObject* parent) : QObject(parent) {
    m_clock.setTimerType(Qt::CoarseTimer);
    connect(&m_clock, &QTimer::timeout, this, &PeriodTimer::tick);
}

void PeriodTimer::setEnabled(bool enabled) {
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    Apply();
}

bool PeriodTimer::setInterval(int milliseconds) {
    if (milliseconds < 0)
        return false;
    m_interval = milliseconds;
    Apply();
    return true;
}

void PeriodTimer::Apply() {
    m_clock.stop();
    if (m_enabled && m_interval > 0)
        m_clock.start(m_interval);
}
