// SPDX-License-Identifier: GPL-3.0-or-later
// Paths for the wide-character Win32 calls: UTF-8 text turned into an absolute "\\?\" path, so
// no MAX_PATH limit applies and no name is reinterpreted on the way.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace WidePath {

// Names are UTF-16 on Windows and UTF-8 in the engine. A Windows name may hold a surrogate
// without its partner, which UTF-8 cannot carry; such a unit is written as the three bytes
// UTF-8 would give its code point (WTF-8), so every name the system lists can be named back.

// The UTF-16 form of WTF-8 `text`; empty when the text is neither UTF-8 nor WTF-8.
inline std::wstring FromUtf8(std::string_view text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80   ? 1
                           : lead < 0xC2 ? 0
                           : lead < 0xE0 ? 2
                           : lead < 0xF0 ? 3
                           : lead < 0xF5 ? 4
                                         : 0;
        if (length == 0 || text.size() - i < std::size_t(length))
            return {};
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return {};
            point = point << 6 | (next & 0x3F);
        }
        constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < kLeast[length] || point > 0x10FFFF)
            return {};
        i += length;
        if (point >= 0x10000) {
            point -= 0x10000;
            wide += wchar_t(0xD800 + (point >> 10));
            wide += wchar_t(0xDC00 + (point & 0x3FF));
        } else {
            // A pair written as two surrogates has a form of its own, and so no second name.
            if (point >= 0xDC00 && point < 0xE000 && !wide.empty() && wide.back() >= 0xD800 &&
                wide.back() < 0xDC00)
                return {};
            wide += wchar_t(point);
        }
    }
    return wide;
}

// The WTF-8 form of UTF-16 `text` (see above); never fails.
inline std::string ToUtf8(std::wstring_view text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t point = text[i];
        if (point >= 0xD800 && point < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000)
            point = 0x10000 + ((point - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (point < 0x80) {
            narrow += char(point);
            continue;
        }
        const int length = point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
        constexpr unsigned char kLeadBits[] = {0, 0, 0xC0, 0xE0, 0xF0};
        narrow += char(kLeadBits[length] | (point >> (6 * (length - 1))));
        for (int k = length - 2; k >= 0; --k)
            narrow += char(0x80 | ((point >> (6 * k)) & 0x3F));
    }
    return narrow;
}

// `root` followed by the parts of `rest` as Windows resolves them: empty parts and "." dropped,
// ".." going up no further than the root, and trailing dots and spaces taken from the last part.
inline std::wstring Canonical(std::wstring root, std::wstring_view rest) {
    std::vector<std::wstring_view> parts;
    for (std::size_t start = 0; start <= rest.size();) {
        const std::size_t end = std::min(rest.find(L'\\', start), rest.size());
        const std::wstring_view part = rest.substr(start, end - start);
        if (part == L"..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    if (!parts.empty() && !rest.ends_with(L'\\')) {
        std::wstring_view& last = parts.back();
        last = last.substr(0, last.find_last_not_of(L". ") + 1);
        if (last.empty())
            parts.pop_back();
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            root += L'\\';
        root += parts[i];
    }
    return root;
}

// The length of the root of an absolute path with "\" separators ("C:\", "\\server\share\",
// "\\.\C:\", "\\.\UNC\server\share\"); 0 for a relative path.
inline std::size_t RootLength(std::wstring_view path) {
    // The end of `parts` parts from `from` on, past the separator after them.
    const auto partsEnd = [&](std::size_t from, int parts) {
        for (int k = 0; k < parts; ++k) {
            from = path.find(L'\\', from);
            if (from == std::wstring_view::npos)
                return path.size();
            ++from;
        }
        return from;
    };
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
        return 3;
    if (path.starts_with(LR"(\\.\UNC\)"))
        return partsEnd(8, 2);
    if (path.starts_with(LR"(\\.\)"))
        return partsEnd(4, 1);
    if (path.starts_with(LR"(\\)"))
        return partsEnd(2, 2);
    return 0;
}

// `path` made absolute, with "\" separators and the "\\?\" (or "\\?\UNC\") prefix, resolved
// here rather than by GetFullPathNameW, which is held to MAX_PATH on older systems. Accepts
// "\\?\" paths as they are, and "\\.\" and "//?/" forms. Empty for text that names no path.
// Inside a "\\?\" path a "/" is an ordinary character, so separators are turned before the
// prefix is put on.
inline std::wstring Absolute(std::string_view path) {
    std::wstring wide = FromUtf8(path);
    if (wide.empty() || wide.starts_with(LR"(\\?\)"))
        return wide;
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    if (wide.starts_with(LR"(\\?\)"))
        return wide;
    if (wide.find(L'\0') != std::wstring::npos)
        return {};
    if (const std::size_t root = RootLength(wide); root != 0) {
        std::wstring prefix =
            wide.starts_with(LR"(\\.\UNC\)") ? LR"(\\?\UNC\)" + wide.substr(8, root - 8)
            : wide.starts_with(LR"(\\.\)")   ? LR"(\\?\)" + wide.substr(4, root - 4)
            : wide.starts_with(LR"(\\)")     ? LR"(\\?\UNC\)" + wide.substr(2, root - 2)
                                             : LR"(\\?\)" + wide.substr(0, root);
        if (!prefix.ends_with(L'\\'))
            prefix += L'\\';
        return Canonical(std::move(prefix), std::wstring_view(wide).substr(root));
    }
    // Relative to the current folder, the current folder of a drive ("C:x") or the current
    // folder's root ("\x"); only the folder's own name goes through GetFullPathNameW.
    const bool onDrive = wide.size() >= 2 && wide[1] == L':';
    const std::wstring base = onDrive ? wide.substr(0, 2) : L".";
    std::wstring current(GetFullPathNameW(base.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD written =
        GetFullPathNameW(base.c_str(), DWORD(current.size()), current.data(), nullptr);
    if (written == 0 || written >= current.size())
        return {};
    current.resize(written);
    std::wstring rest = onDrive ? wide.substr(2) : wide;
    if (rest.starts_with(L'\\'))
        current.resize(RootLength(current));
    const std::wstring joined = current + L'\\' + rest;
    return RootLength(joined) != 0 ? Absolute(ToUtf8(joined)) : std::wstring{};
}

}  // namespace WidePath
