// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop of X11 and Wayland sessions.
#include <QCoreApplication>
#include <QDir>

#include "Desktop.h"

namespace Desktop {

QString ProgramName(const QFileInfo& executable) {
    return executable.fileName();
}

// Qt's own message adds nothing here to the missing display.
QString NoWindowExplanation(const QString& program, const QString& /*message*/) {
    const QByteArray display = qgetenv("DISPLAY");
    return QStringLiteral(
               "%1 needs a graphical session to start, and no display could be opened here "
               "(%2).\nStart it from an X or Wayland session, or on a virtual X server:\n"
               "    xvfb-run -a %3\n")
        .arg(program,
             display.isEmpty()
                 ? QStringLiteral("DISPLAY is not set")
                 : QStringLiteral("DISPLAY is %1").arg(QString::fromLocal8Bit(display)),
             QCoreApplication::applicationFilePath());
}

QString InstanceChannel(const QString& name, const QString& folder) {
    return QDir(folder).filePath(name + QStringLiteral(".instance"));
}

}  // namespace Desktop
