// SPDX-License-Identifier: GPL-3.0-or-later
// The log-on registration of Windows, without Qt: the value `name` = `path` (REG_SZ) in the
// current user's Run key starts `path` at log-on; the same value in the sibling key "Run-",
// which Windows ignores, is a parked entry. The data is the path in quotes, as a command line.
// The Run key is created when missing; the parking key is only used where someone made it,
// never created.
#pragma once

#include <windows.h>

#include <string>

namespace modSystray::RunKey {

inline constexpr wchar_t kActiveKey[] = LR"(Software\Microsoft\Windows\CurrentVersion\Run)";
inline constexpr wchar_t kParkingKey[] = LR"(Software\Microsoft\Windows\CurrentVersion\Run-)";

enum class Place { Active, Parked };

// Deletes the value `name` from the place; nothing happens when there is none.
void Remove(Place place, const std::wstring& name);
// Sets the value `name` of the place to `path`; nothing happens when the place is unusable.
void Write(Place place, const std::wstring& name, const std::wstring& path);

}  // namespace modSystray::RunKey
