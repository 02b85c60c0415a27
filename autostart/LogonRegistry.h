// SPDX-License-Identifier: GPL-3.0-or-later
// Where log-on entries live: an active place the system starts at log-on, and a parking place
// beside it that the system ignores. One implementation per platform sits beside this header.
#pragma once

#include <QFileInfo>
#include <QString>

namespace modSystray {

enum class LogonPlace { Active, Parked };

class LogonRegistry {
public:
    virtual ~LogonRegistry() = default;
    // Deletes the entry `name` from `place`; nothing happens when there is none or the place
    // is unusable.
    virtual void remove(LogonPlace place, const QString& name) = 0;
    // Makes `name` start `path` from `place`, replacing any entry of that name. The parking
    // place is only used when it exists; nothing happens when the place is unusable.
    virtual void write(LogonPlace place, const QString& name, const QString& path) = 0;
};

// The registry of this platform.
LogonRegistry& PlatformLogonRegistry();

// The file name by which this platform starts `executable` at log-on.
QString LogonFileName(const QFileInfo& executable);

// Installs `registry` (not owned) for EnableAutostart and DisableAutostart; null restores the
// platform's. Tests use it to watch the calls.
void SetLogonRegistry(LogonRegistry* registry);

}  // namespace modSystray
