// SPDX-License-Identifier: GPL-3.0-or-later
// Per user, like the XDG layer: the machine-wide key needs administrator rights, which an
// ordinary user's check box does not have.
#include "RunKey.h"

namespace modSystray::RunKey {
namespace {

// The key of `place` opened for writing, or null; reading tells whether a write would change it.
HKEY OpenPlace(Place place) {
    constexpr REGSAM access = KEY_WRITE | KEY_QUERY_VALUE;
    HKEY key = nullptr;
    const LSTATUS status =
        place == Place::Active
            ? RegCreateKeyExW(HKEY_CURRENT_USER, kActiveKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              access, nullptr, &key, nullptr)
            : RegOpenKeyExW(HKEY_CURRENT_USER, kParkingKey, 0, access, &key);
    return status == ERROR_SUCCESS ? key : nullptr;
}

// The data as Windows reads it at log-on: quoted, or "C:\My Tools\Tavrick.exe" would start
// "C:\My.exe" first.
std::wstring CommandOf(const std::wstring& path) {
    return L'"' + path + L'"';
}

// Whether the value `name` of `key` is already the REG_SZ text `data` with its NUL.
bool Holds(HKEY key, const std::wstring& name, const std::wstring& data) {
    std::wstring stored(data.size() + 2, L'\0');
    DWORD type = 0;
    DWORD size = DWORD(stored.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(stored.data()),
                         &size) != ERROR_SUCCESS)
        return false;
    stored.resize(size / sizeof(wchar_t));
    return type == REG_SZ && stored == data + L'\0';
}

}  // namespace

void Remove(Place place, const std::wstring& name) {
    const HKEY key = OpenPlace(place);
    if (!key)
        return;
    RegDeleteValueW(key, name.c_str());
    RegCloseKey(key);
}

// The data is the whole text and its terminating NUL, its length in bytes. A value that holds it
// already is left alone, so a start-up does not write the registry each time.
void Write(Place place, const std::wstring& name, const std::wstring& path) {
    const HKEY key = OpenPlace(place);
    if (!key)
        return;
    const std::wstring data = CommandOf(path);
    if (!Holds(key, name, data))
        RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       DWORD((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

}  // namespace modSystray::RunKey
