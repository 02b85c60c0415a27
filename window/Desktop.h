// SPDX-License-Identifier: GPL-3.0-or-later
// What the program's window does differently on each desktop system; one implementation per
// platform (posix/, win/).
#pragma once

#include <QFileInfo>
#include <QString>

namespace Desktop {

// The program's name on this system: the executable's file name, without `.exe` on Windows.
QString ProgramName(const QFileInfo& executable);

// What to print when Qt could not open a window for `program`, with Qt's fatal `message`.
QString NoWindowExplanation(const QString& program, const QString& message);

// Where the running program `name` listens for a second start: a socket in `folder`, or on
// Windows, where pipes are machine-wide, a pipe name that says whose it is.
QString InstanceChannel(const QString& name, const QString& folder);

}  // namespace Desktop
