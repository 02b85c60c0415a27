// SPDX-License-Identifier: GPL-3.0-or-later
// Log-on entries as desktop entries in the user's XDG autostart folder.
#pragma once

#include <QString>

namespace modSystray {

// The active folder, $XDG_CONFIG_HOME/autostart, and the parking folder beside it.
QString AutostartFolder();
QString ParkingFolder();

// The text of a desktop entry named `name` that starts the executable at `path`.
QString DesktopEntryText(const QString& name, const QString& path);

}  // namespace modSystray
