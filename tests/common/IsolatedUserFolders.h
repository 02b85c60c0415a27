// SPDX-License-Identifier: GPL-3.0-or-later
// The user's home, configuration and state folders pointed into a temporary folder, so that no
// test reads or writes the user's own settings, log-on entries or run log. Made before the
// application object, which reads them once.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

class IsolatedUserFolders {
public:
    IsolatedUserFolders() {
        const QByteArray home = QFile::encodeName(folder_.path());
        qputenv("HOME", home);
        qputenv("XDG_CONFIG_HOME", home + "/.config");
        qputenv("XDG_STATE_HOME", home + "/.local/state");
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
    }

    bool IsValid() const { return folder_.isValid(); }

private:
    QTemporaryDir folder_;
};
