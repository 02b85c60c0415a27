// Per user, like the XDG layer: the machine-wide key needs administrator rights, which an
// ordinary user's check box does not have.
#include "RunKey.h"

namespace modSystray::RunKey {
namespace {

// The key of `place` opened for writing, or null.
HKEY OpenPlace(Place place) {
    HKEY key = nullptr;
    const LSTATUS status =
        place == Place::Active
            ? RegCreateKeyExW(HKEY_CURRENT_USER, ActiveKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, &key, nullptr)
            : RegOpenKeyExW(HKEY_CURRENT_USER, ParkingKey, 0, KEY_WRITE, &key);
    return status == ERROR_SUCCESS ? key : nullptr;
}

}  // namespace

void Remove(Place place, const std::wstring& name) {
    const HKEY key = OpenPlace(place);
    if (!key)
        return;
    RegDeleteValueW(key, name.c_str());
    RegCloseKey(key);
}

// The data is the whole text and its terminating NUL, its length in bytes.
void Write(Place place, const std::wstring& name, const std::wstring& path) {
    const HKEY key = OpenPlace(place);
    if (!key)
        return;
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   DWORD((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

}  // namespace modSystray::RunKey
