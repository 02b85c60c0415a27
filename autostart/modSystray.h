// SPDX-License-Identifier: GPL-3.0-or-later
// Registration of the program to start when the user logs on.
//
// On XDG desktops the active entry is $XDG_CONFIG_HOME/autostart/<name>.desktop, per user; the
// parked entry is the same file in the sibling folder "autostart-", used only when that folder
// exists. The places themselves are behind LogonRegistry (LogonRegistry.h).
#pragma once

#include <QString>

namespace modSystray {

// Makes `name` = `path` the active log-on entry and removes `name` from the parking place.
void EnableAutostart(const QString& path, const QString& name);
// Removes the active entry `name` and parks `name` = `path` (only where a parking place exists).
void DisableAutostart(const QString& path, const QString& name);

// The entry's data for the running executable: its folder, the separator and its base name
// (with ".exe" on Windows).
QString AutostartExecutablePath();
// The entry's name: the running executable's base name.
QString AutostartEntryName();

}  // namespace modSystray
