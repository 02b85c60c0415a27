// SPDX-License-Identifier: GPL-3.0-or-later
// The run log: one line per backup run and one per failure, in UTF-8, in
// $XDG_STATE_HOME/Tavrick/runs.log (by default ~/.local/state/Tavrick/runs.log). Before it
// would grow past kMaxBytes it becomes runs.log.1, replacing the older one. A log that cannot
// be written is left out: it never stops a backup.
#pragma once

#include <QString>

#include "control/BackupRunner.h"

class RunLog {
public:
    static constexpr qint64 kMaxBytes = qint64{1024} * 1024;

    explicit RunLog(QString folder = DefaultFolder());

    static QString DefaultFolder();
    QString FilePath() const;

    // `trigger` names what started the run: "tick", "Start" or "Stop".
    void Append(const QString& trigger, const RunSummary& run) const;
    static QByteArray Lines(const QString& trigger, const RunSummary& run);

private:
    QString folder_;
};
