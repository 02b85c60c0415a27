// SPDX-License-Identifier: GPL-3.0-or-later
#include "RunLog.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include "control/FailureReasons.h"

RunLog::RunLog(QString folder) : folder_(std::move(folder)) {}

QString RunLog::DefaultFolder() {
#ifdef Q_OS_WIN
    const QString state = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // XDG's base directory rules ignore a relative path.
    if (!QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
#endif
    return state + QStringLiteral("/Tavrick");
}

QString RunLog::FilePath() const {
    return folder_ + QStringLiteral("/runs.log");
}

QByteArray RunLog::Lines(const QString& trigger, const RunSummary& run) {
    const FileSync::RunReport& report = *run.report;
    QString text = QStringLiteral("%1 %2: examined %3, copied %4, %5 bytes, %6 failures, %7 s\n")
                       .arg(run.startedAt.toString(Qt::ISODate), trigger)
                       .arg(report.filesCompared)
                       .arg(report.filesCopied)
                       .arg(report.bytesCopied)
                       .arg(report.failures.size())
                       .arg(double(run.duration.count()) / 1000.0, 0, 'f', 3);
    for (const FileSync::RunFailure& failure : report.failures)
        text += QStringLiteral("  failed %1: %2 (%3)\n")
                    .arg(QString::fromStdString(failure.path), ReasonText(failure),
                         QString::fromStdString(failure.reason));
    for (const std::string& note : report.notes)
        text += QStringLiteral("  note: %1\n").arg(QString::fromStdString(note));
    return text.toUtf8();
}

void RunLog::Append(const QString& trigger, const RunSummary& run) const {
    const QByteArray lines = Lines(trigger, run);
    if (!QDir().mkpath(folder_))
        return;
    const QString path = FilePath();
    if (QFileInfo(path).size() + lines.size() > kMaxBytes) {
        QFile::remove(path + QStringLiteral(".1"));
        QFile::rename(path, path + QStringLiteral(".1"));
    }
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(lines);
}
