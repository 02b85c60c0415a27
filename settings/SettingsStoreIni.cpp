// SPDX-License-Identifier: GPL-3.0-or-later
// The settings store on systems without a registry: one INI file per application in the
// user's configuration folder, $XDG_CONFIG_HOME/<application>/<application>.ini.
//
// QSettings keeps INI keys case-sensitive, so names are matched here: an existing section or
// key that differs only in case is used under its stored spelling. Each call opens the file
// afresh (QSettings re-reads it only when it changed on disk) and every write is synced at
// once; QSettings then replaces the file through a temporary file and a rename, so a crash
// leaves either the old or the new file.
#include "SettingsStore.h"

#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QVariant>

namespace SettingsStore {
namespace {

// `wanted` as spelled among `names`: the exact spelling first, else the first that differs
// only in case.
std::optional<QString> StoredSpelling(const QStringList& names, const QString& wanted) {
    if (names.contains(wanted)) {
        return wanted;
    }
    for (const QString& name : names) {
        if (name.compare(wanted, Qt::CaseInsensitive) == 0) {
            return name;
        }
    }
    return std::nullopt;
}

// A value is always text. QSettings turns a hand-written unquoted "a, b" into a list; it is
// read back as the text it was.
QString AsText(const QVariant& value) {
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QStringLiteral(", "));
    }
    return value.toString();
}

}  // namespace

QString Location(const QString& application) {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + '/' +
           application + '/' + application + QStringLiteral(".ini");
}

void Write(const QString& application, const QString& section, const QString& key,
           const QString& value) {
    if (application.isEmpty() || section.isEmpty() || key.isEmpty()) {
        return;
    }
    QSettings file(Location(application), QSettings::IniFormat);
    file.setAtomicSyncRequired(true);
    file.beginGroup(StoredSpelling(file.childGroups(), section).value_or(section));
    file.setValue(StoredSpelling(file.childKeys(), key).value_or(key), value);
    file.endGroup();
    file.sync();
}

std::optional<QString> Read(const QString& application, const QString& section,
                            const QString& key) {
    if (application.isEmpty() || section.isEmpty() || key.isEmpty()) {
        return std::nullopt;
    }
    QSettings file(Location(application), QSettings::IniFormat);
    const auto storedSection = StoredSpelling(file.childGroups(), section);
    if (!storedSection) {
        return std::nullopt;
    }
    file.beginGroup(*storedSection);
    const auto storedKey = StoredSpelling(file.childKeys(), key);
    if (!storedKey) {
        return std::nullopt;
    }
    return AsText(file.value(*storedKey));
}

}  // namespace SettingsStore
