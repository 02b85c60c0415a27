// SPDX-License-Identifier: GPL-3.0-or-later
// The log-on places of Windows (RunKey.h) behind the program's LogonRegistry.
#include "LogonRegistry.h"
#include "RunKey.h"

namespace modSystray {
namespace {

RunKey::Place PlaceOf(LogonPlace place) {
    return place == LogonPlace::Active ? RunKey::Place::Active : RunKey::Place::Parked;
}

class RunKeyLogonRegistry : public LogonRegistry {
public:
    void remove(LogonPlace place, const QString& name) override {
        RunKey::Remove(PlaceOf(place), name.toStdWString());
    }
    void write(LogonPlace place, const QString& name, const QString& path) override {
        RunKey::Write(PlaceOf(place), name.toStdWString(), path.toStdWString());
    }
};

}  // namespace

LogonRegistry& PlatformLogonRegistry() {
    static RunKeyLogonRegistry registry;
    return registry;
}

// A run-key entry names the program by its `.exe` file.
QString LogonFileName(const QFileInfo& executable) {
    return executable.completeBaseName() + QStringLiteral(".exe");
}

}  // namespace modSystray
