// SPDX-License-Identifier: GPL-3.0-or-later
#include "FileControl.h"

#include "SettingsStore.h"

#include <QCoreApplication>
#include <QObject>

namespace FileControl {
namespace {

using SettingsSchema::Row;

// The settings belong to the executable's base name, so a renamed copy keeps its own.
QString ApplicationName() {
    return QCoreApplication::applicationName();
}

void Write(const Row& row, const QString& value) {
    SettingsStore::Write(ApplicationName(), row.section, row.key, value);
}

QString Read(const Row& row) {
    return SettingsStore::Read(ApplicationName(), row.section, row.key)
        .value_or(QString(row.defaultText));
}

}  // namespace

void SaveControlSetting(const QObject& control, const QString& value) {
    if (const Row* row = SettingsSchema::ControlRow(control.objectName()))
        Write(*row, value);
}

QString LoadControlSetting(const QObject& control) {
    const Row* row = SettingsSchema::ControlRow(control.objectName());
    return row ? Read(*row) : QString();
}

void SaveSetting(SettingsSchema::Setting setting, const QString& value) {
    Write(SettingsSchema::RowOf(setting), value);
}

QString GetSetting(SettingsSchema::Setting setting) {
    return Read(SettingsSchema::RowOf(setting));
}

qint16 SettingToInt16(const QString& text) {
    bool isNumber = false;
    const qint16 number = text.trimmed().toShort(&isNumber);
    return isNumber ? number : qint16{0};
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

}  // namespace FileControl
