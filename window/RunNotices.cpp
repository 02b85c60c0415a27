// SPDX-License-Identifier: GPL-3.0-or-later
#include "RunNotices.h"

#include <QLocale>
#include <QStringList>

#include <algorithm>

#include "control/FailureReasons.h"

namespace {

bool IsUnreachableFolder(const FileSync::RunFailure& failure) {
    return failure.kind == FileSync::FailureKind::TopUnreachable ||
           failure.kind == FileSync::FailureKind::DriveNotAttached;
}

}  // namespace

std::optional<TrayNotice> RunNotices::RunEnded(const std::vector<FileSync::RunFailure>& failures,
                                               const QDateTime& endedAt) {
    std::set<std::pair<std::string, FileSync::FailureKind>> failing;
    for (const FileSync::RunFailure& failure : failures)
        failing.emplace(failure.path, failure.kind);
    const bool recovered = failing.empty() && !failing_.empty();
    const bool changed = failing != failing_;
    failing_ = std::move(failing);
    lastFailureCount_ = failures.size();
    if (failures.empty())
        lastCleanEnd_ = endedAt;
    if (recovered)
        return TrayNotice{QStringLiteral("备份已恢复正常"),
                          QStringLiteral("上次备份已完成, 没有未能复制的项目."), false};
    if (changed)
        return FailureNotice(failures);
    return std::nullopt;
}

TrayNotice RunNotices::FailureNotice(const std::vector<FileSync::RunFailure>& failures) {
    const bool unreachable = std::any_of(failures.begin(), failures.end(), IsUnreachableFolder);
    QStringList lines{QStringLiteral("有 %1 个项目未能复制.").arg(failures.size())};
    for (std::size_t i = 0; i < failures.size() && i < kListedFailures; ++i)
        lines << QString::fromStdString(failures[i].path) + QStringLiteral(": ") +
                     ReasonText(failures[i]);
    return {unreachable ? QStringLiteral("无法访问备份文件夹") : QStringLiteral("备份未能全部完成"),
            lines.join(u'\n'), true};
}

QString RunNotices::ToolTip(const QString& firstLine) const {
    QString text = firstLine;
    if (lastCleanEnd_.isValid())
        text += QStringLiteral("\n上次成功备份: ") +
                lastCleanEnd_.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    if (lastFailureCount_ > 0)
        text += QStringLiteral("\n上次备份有 %1 个项目未能复制.").arg(lastFailureCount_);
    return text;
}
