// SPDX-License-Identifier: GPL-3.0-or-later
#include "FileControl.h"

#include "FolderDialog.h"
#include "SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QObject>

namespace FileControl {
namespace {

const QString kControlSection = QStringLiteral("Settings");

FolderChooser* installedChooser = nullptr;

// The settings belong to the executable's base name, so a renamed copy keeps its own.
QString ApplicationName() {
    return QCoreApplication::applicationName();
}

// A chosen folder in the platform's form: native separators, and a trailing separator only
// on a root ("/", "C:\"), which cannot do without it.
QString FolderPathAsShown(const QString& chosen) {
    QString path = QDir::toNativeSeparators(chosen);
    while (path.size() > 1 && path.endsWith(QDir::separator()) && !QDir(path).isRoot()) {
        path.chop(1);
    }
    return path;
}

}  // namespace

void SaveControlSetting(const QObject& control, const QString& value) {
    SaveSetting(kControlSection, control.objectName(), value);
}

QString LoadControlSetting(const QObject& control) {
    return GetSetting(kControlSection, control.objectName(), QString());
}

void SaveSetting(const QString& section, const QString& key, const QString& value) {
    SettingsStore::Write(ApplicationName(), section, key, value);
}

QString GetSetting(const QString& section, const QString& key, const QString& defaultValue) {
    return SettingsStore::Read(ApplicationName(), section, key).value_or(defaultValue);
}

qint16 SettingToInt16(const QString& text) {
    bool isNumber = false;
    const qint16 number = text.trimmed().toShort(&isNumber);
    return isNumber ? number : 0;
}

bool SettingToBool(const QString& text) {
    const QString word = text.trimmed();
    if (word.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    bool isNumber = false;
    const double number = word.toDouble(&isNumber);
    return isNumber && number != 0;
}

int SettingToCheckState(const QString& text) {
    const qint16 state = SettingToInt16(text);
    return state >= 0 && state <= 2 ? state : 0;
}

QString BrowseForFolder(QWidget* owner) {
    FolderChooser& chooser = installedChooser ? *installedChooser : PlatformFolderChooser();
    const QString chosen = chooser.chooseFolder(owner, QStringLiteral("选择文件夹..."));
    return chosen.isEmpty() ? QString() : FolderPathAsShown(chosen);
}

void SetFolderChooser(FolderChooser* chooser) {
    installedChooser = chooser;
}

}  // namespace FileControl
