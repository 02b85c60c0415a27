// SPDX-License-Identifier: GPL-3.0-or-later
// What the tray tells of finished backups without the window: a desktop notice when what
// fails changes or when backups work again, and the lines of the icon's tool tip.
#pragma once

#include <QDateTime>
#include <QString>

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/FileSync.h"

struct TrayNotice {
    QString title;
    QString text;
    bool failing = false;
};

class RunNotices {
public:
    // How many failures a notice names; the count covers the rest.
    static constexpr std::size_t kListedFailures = 3;

    // Takes in the failures of a run that ended; returns the notice it calls for, if any.
    // The same failures as last time call for none, so a period of one minute does not bring a
    // notice every minute.
    std::optional<TrayNotice> RunEnded(const std::vector<FileSync::RunFailure>& failures,
                                       const QDateTime& endedAt);

    // The tool tip: `firstLine`, then the time of the last backup without failure and the last
    // run's failure count, once there are such.
    QString ToolTip(const QString& firstLine) const;
    bool LastRunFailed() const { return !failing_.empty(); }

private:
    static TrayNotice FailureNotice(const std::vector<FileSync::RunFailure>& failures);

    std::set<std::pair<std::string, FileSync::FailureKind>> failing_;
    std::size_t lastFailureCount_ = 0;
    QDateTime lastCleanEnd_;
};
