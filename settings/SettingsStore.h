// SPDX-License-Identifier: GPL-3.0-or-later
// The per-user store of text values under (application, section, key).
//
// SettingsStoreIni.cpp implements it with an INI file per application, on every system the
// window is built for; the program's settings routines reach the store only through these
// functions. Section and key names compare without
// regard to case. Every write is on disk when Write returns.
#pragma once

#include <QString>

#include <optional>

namespace SettingsStore {

// Stores `value` under (application, section, key). An existing section or key whose name
// differs only in case is reused; a new one keeps the spelling given. Failures are ignored.
void Write(const QString& application, const QString& section, const QString& key,
           const QString& value);

// The text stored under (application, section, key), or nothing when there is none or the
// store cannot be read.
std::optional<QString> Read(const QString& application, const QString& section, const QString& key);

// Where the values of `application` are kept (for people and tests; the program needs only
// Write and Read).
QString Location(const QString& application);

}  // namespace SettingsStore
