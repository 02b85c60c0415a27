// SPDX-License-Identifier: GPL-3.0-or-later
#include "modSystray.h"

#include "LogonRegistry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace modSystray {
namespace {

LogonRegistry* installedRegistry = nullptr;

LogonRegistry& Registry() {
    return installedRegistry ? *installedRegistry : PlatformLogonRegistry();
}

}  // namespace

void SetLogonRegistry(LogonRegistry* registry) {
    installedRegistry = registry;
}

// A move is a delete in one place followed by a fresh write of the current path in the other.
void EnableAutostart(const QString& path, const QString& name) {
    Registry().remove(LogonPlace::Parked, name);
    Registry().write(LogonPlace::Active, name, path);
}

void DisableAutostart(const QString& path, const QString& name) {
    Registry().remove(LogonPlace::Active, name);
    Registry().write(LogonPlace::Parked, name, path);
}

QString AutostartExecutablePath() {
    const QFileInfo executable(QCoreApplication::applicationFilePath());
    return QDir::toNativeSeparators(executable.absolutePath()) + QDir::separator() +
           LogonFileName(executable);
}

QString AutostartEntryName() {
    return QCoreApplication::applicationName();
}

}  // namespace modSystray
