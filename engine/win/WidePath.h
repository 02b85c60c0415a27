// Paths for the wide-character Win32 calls: UTF-8 text turned into an absolute "\\?\" path, so
// no MAX_PATH limit applies and no name is reinterpreted on the way.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace WidePath {

// The UTF-16 form of UTF-8 `text`; empty when the text is not valid UTF-8.
inline std::wstring FromUtf8(std::string_view text) {
    if (text.empty())
        return {};
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                           int(text.size()), nullptr, 0);
    std::wstring wide(length, L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()),
                            wide.data(), length);
    return wide;
}

// The UTF-8 form of UTF-16 `text`; empty when the text holds an unpaired surrogate.
inline std::string ToUtf8(std::wstring_view text) {
    if (text.empty())
        return {};
    const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                                           int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(length, '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), int(text.size()),
                            narrow.data(), length, nullptr, nullptr);
    return narrow;
}

// `path` made absolute, with "\" separators and the "\\?\" (or "\\?\UNC\") prefix. Empty for
// text that names no path. Inside a "\\?\" path a "/" is an ordinary character, so separators
// are turned before the prefix is put on.
inline std::wstring Absolute(std::string_view path) {
    std::wstring wide = FromUtf8(path);
    if (wide.empty())
        return {};
    if (wide.starts_with(LR"(\\?\)"))
        return wide;
    for (wchar_t& c : wide)
        if (c == L'/')
            c = L'\\';
    const DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (length == 0)
        return {};
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
    if (written == 0 || written >= length)
        return {};
    full.resize(written);
    if (full.starts_with(LR"(\\)"))
        return LR"(\\?\UNC\)" + full.substr(2);
    return LR"(\\?\)" + full;
}

}  // namespace WidePath
