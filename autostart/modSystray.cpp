// Placeholder until the log-on registration lands.
#include "modSystray.h"

#include <QCoreApplication>

namespace modSystray {
void EnableAutostart(const QString&, const QString&) {}
void DisableAutostart(const QString&, const QString&) {}
QString AutostartExecutablePath() {
    return QCoreApplication::applicationFilePath();
}
QString AutostartEntryName() {
    return QCoreApplication::applicationName();
}
}  // namespace modSystray
