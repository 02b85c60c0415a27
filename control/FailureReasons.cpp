// SPDX-License-Identifier: GPL-3.0-or-later
#include "FailureReasons.h"

#include <cerrno>

namespace {

using FileSync::FailureKind;

const char* KindText(FailureKind kind) {
    switch (kind) {
        case FailureKind::System:
            return nullptr;
        case FailureKind::TopUnreachable:
            return "无法访问该文件夹";
        case FailureKind::DestinationInSource:
            return "目标文件夹位于源文件夹之内";
        case FailureKind::KeptChanging:
            return "复制期间文件一直在变化";
        case FailureKind::DriveNotAttached:
            return "目标文件夹所在的驱动器未连接";
        case FailureKind::NamesFoldTogether:
            return "目标不区分大小写, 两个名称会合为一个";
        case FailureKind::TimesNotKept:
            return "目标文件系统不能保存修改时间";
        case FailureKind::LinkInDestination:
            return "目标中此处是一个链接, 不会通过它写入";
        case FailureKind::FolderCycle:
            return "该文件夹指回其上层文件夹";
        case FailureKind::PseudoFileSystem:
            return "系统虚拟文件系统不予备份";
        case FailureKind::Encrypted:
            return "加密文件无法以加密形式复制";
        case FailureKind::BadName:
            return "文件名无法在目标中表示";
    }
    return nullptr;
}

const char* SystemText(int code) {
    switch (code) {
        case EACCES:
        case EPERM:
            return "权限不足";
        case ENOENT:
            return "找不到文件或文件夹";
        case ENOTDIR:
            return "不是文件夹";
        case EISDIR:
            return "是一个文件夹";
        case EEXIST:
            return "已存在同名项目";
        case ENOSPC:
            return "磁盘空间不足";
#ifdef EDQUOT  // not on Windows, whose quota error is a full disk
        case EDQUOT:
            return "超出磁盘配额";
#endif
        case EROFS:
            return "文件系统为只读";
        case EIO:
            return "输入/输出错误";
        case ENAMETOOLONG:
            return "文件名或路径过长";
        case EMFILE:
        case ENFILE:
            return "打开的文件过多";
        case ENOMEM:
            return "内存不足";
        case EBUSY:
        case ETXTBSY:
            return "文件正被其他程序使用";
        case EXDEV:
            return "无法跨设备移动";
        case ELOOP:
            return "链接层次过多";
        case EINVAL:
            return "不是普通文件, 或参数无效";
        case EFBIG:
            return "文件过大";
        case EILSEQ:
            return "文件名无法在目标中表示";
        case ENODEV:
        case ENXIO:
            return "设备不存在";
        case ETIMEDOUT:
            return "连接超时";
        case ENOTCONN:
        case ECONNRESET:
        case ECONNABORTED:
            return "网络连接中断";
        case EHOSTUNREACH:
        case ENETUNREACH:
            return "网络不可达";
#ifdef ESTALE  // not on Windows
        case ESTALE:
            return "网络文件句柄已失效";
#endif
        case EOPNOTSUPP:
            return "文件系统不支持此操作";
        case EAGAIN:
            return "资源暂时不可用";
        default:
            return nullptr;
    }
}

QString SystemReason(const FileSync::RunFailure& failure) {
    if (const char* text = SystemText(failure.code))
        return QString::fromUtf8(text);
    return QStringLiteral("系统错误 (%1)").arg(QString::fromStdString(failure.reason));
}

}  // namespace

QString ReasonText(const FileSync::RunFailure& failure) {
    if (failure.kind == FailureKind::System)
        return SystemReason(failure);
    QString text = QString::fromUtf8(KindText(failure.kind));
    // A folder that could not be reached also says what the system answered.
    if (failure.code != 0)
        text += QStringLiteral(": ") + SystemReason(failure);
    // Two names that fold together: the one backed up in this one's place.
    if (!failure.other.empty())
        text += QStringLiteral(" (已备份 \"%1\")").arg(QString::fromStdString(failure.other));
    return text;
}
