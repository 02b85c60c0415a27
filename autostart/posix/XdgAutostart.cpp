// SPDX-License-Identifier: GPL-3.0-or-later
// The log-on registration of XDG desktops: the active entry of `name` is the file
// <name>.desktop in the user's autostart folder; the parked one is the same file in the
// sibling folder "autostart-", which the desktop ignores. Per user: a system-wide entry needs
// root, and an ordinary user's check box would then claim a registration that never happened.
//
// The autostart folder is created when missing (a fresh account has none, and the user asked
// to start at log-on); the parking folder is only used where someone made it.
#include "XdgAutostart.h"

#include "LogonRegistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace modSystray {
namespace {

QString EntryFile(const QString& folder, const QString& name) {
    return folder + '/' + name + QStringLiteral(".desktop");
}

// A string value of a desktop entry: backslash and control characters escaped, and a leading
// space kept by its escape.
QString EscapedString(const QString& text) {
    QString escaped;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == '\\') {
            escaped += QStringLiteral("\\\\");
        } else if (c == '\n') {
            escaped += QStringLiteral("\\n");
        } else if (c == '\t') {
            escaped += QStringLiteral("\\t");
        } else if (c == '\r') {
            escaped += QStringLiteral("\\r");
        } else if (c == ' ' && i == 0) {
            escaped += QStringLiteral("\\s");
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// The Exec value starting `path` with no arguments: the path in double quotes with ", `, $
// and \ escaped by a backslash, every % doubled so no field code is seen, and then the whole
// escaped as a string value (which doubles the backslashes once more).
//
// GLib looks for the program an entry starts under its name with the %% still in it, finds
// none and refuses the whole entry, so a GNOME session would skip it. A path with a % is
// therefore started through env, whose name GLib finds; the %% reaches env as one %.
QString ExecValue(const QString& path) {
    QString quoted = path.contains('%') ? QStringLiteral("env \"") : QStringLiteral("\"");
    for (const QChar c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    quoted += '"';
    quoted.replace('%', QStringLiteral("%%"));
    return EscapedString(quoted);
}

class XdgAutostartRegistry : public LogonRegistry {
public:
    void remove(LogonPlace place, const QString& name) override {
        QFile::remove(EntryFile(FolderOf(place), name));
    }

    void write(LogonPlace place, const QString& name, const QString& path) override {
        const QString folder = FolderOf(place);
        if (place == LogonPlace::Active) {
            QDir().mkpath(folder);
        } else if (!QFileInfo(folder).isDir()) {
            return;
        }
        QSaveFile entry(EntryFile(folder, name));
        if (!entry.open(QIODevice::WriteOnly)) {
            return;
        }
        entry.write(DesktopEntryText(name, path).toUtf8());
        entry.commit();
    }

private:
    static QString FolderOf(LogonPlace place) {
        return place == LogonPlace::Active ? AutostartFolder() : ParkingFolder();
    }
};

}  // namespace

QString AutostartFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart");
}

QString ParkingFolder() {
    return AutostartFolder() + '-';
}

// TryExec names the executable as it is, so a desktop skips the entry once the program has been
// removed, instead of failing to start it at every log-on.
QString DesktopEntryText(const QString& name, const QString& path) {
    return QStringLiteral("[Desktop Entry]\nType=Application\nName=") + EscapedString(name) +
           QStringLiteral("\nTryExec=") + EscapedString(path) + QStringLiteral("\nExec=") +
           ExecValue(path) + '\n';
}

LogonRegistry& PlatformLogonRegistry() {
    static XdgAutostartRegistry registry;
    return registry;
}

QString LogonFileName(const QFileInfo& executable) {
    return executable.fileName();
}

}  // namespace modSystray
