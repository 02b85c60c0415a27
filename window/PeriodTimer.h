// SPDX-License-Identifier: GPL-3.0-or-later
// A timer with an enabled flag and an interval in milliseconds, as the window's controls have.
//
// It fires every `interval` ms while enabled. An interval of 0 never fires (a bare QTimer with
// interval 0 would fire continuously), and a negative interval is refused.
#pragma once

#include <QObject>
#include <QTimer>

class PeriodTimer : public QObject {
    Q_OBJECT
public:
    explicit PeriodTimer(QObject* parent = nullptr);

    bool isEnabled() const { return enabled_; }
    // Switching on a timer that is already on does not restart its count.
    void setEnabled(bool enabled);

    int interval() const { return interval_; }
    // Restarts the count when the timer runs. Returns false, changing nothing, for a negative
    // interval.
    bool setInterval(int milliseconds);

    // Whether ticks can come at all (enabled with an interval above 0).
    bool isTicking() const { return clock_.isActive(); }

signals:
    void tick();

private:
    void Apply();

    QTimer clock_;
    bool enabled_ = false;
    int interval_ = 0;
};
