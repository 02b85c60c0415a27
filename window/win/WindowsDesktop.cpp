// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows desktop.
#include <windows.h>
// sddl.h needs windows.h first.
#include <sddl.h>

#include "Desktop.h"

namespace Desktop {
namespace {

// The session and the account's SID: one channel per user and per session, so a second
// session of the same user (Remote Desktop, switched users) starts its own program. USERNAME
// alone is the same in every session and can be set to anything.
QString SessionAndUser() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    QString user;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        alignas(TOKEN_USER) char buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
        DWORD length = 0;
        LPWSTR text = nullptr;
        if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
            user = QString::fromWCharArray(text);
            LocalFree(text);
        }
        CloseHandle(token);
    }
    return QString::number(session) + QLatin1Char('-') + user;
}

}  // namespace

QString ProgramName(const QFileInfo& executable) {
    return executable.completeBaseName();
}

// Windows always has a desktop; failing to open it is the platform plugin's fault.
QString NoWindowExplanation(const QString& program, const QString& message) {
    return QStringLiteral(
               "%1 could not open its window: %2\nThe Qt platform plugin "
               "(platforms\\qwindows.dll) must be installed beside the program.\n")
        .arg(program, message);
}

QString InstanceChannel(const QString& name, const QString& /*folder*/) {
    return name + QStringLiteral(".instance-") + SessionAndUser();
}

}  // namespace Desktop
