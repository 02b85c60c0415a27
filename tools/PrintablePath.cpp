// SPDX-License-Identifier: GPL-3.0-or-later
#include "PrintablePath.h"

#include <cstdint>

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text` (no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0 when there is none.
std::size_t SequenceLength(std::string_view text) {
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    std::uint8_t lead = byte(0);
    std::size_t length = lead < 0x80                    ? 1
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    std::uint8_t second = length > 1 ? byte(1) : 0;
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

bool IsControl(std::string_view sequence) {
    auto lead = static_cast<std::uint8_t>(sequence[0]);
    // C0 controls and DEL, and the C1 controls U+0080..U+009F.
    return lead < 0x20 || lead == 0x7F ||
           (lead == 0xC2 && static_cast<std::uint8_t>(sequence[1]) < 0xA0);
}

void AppendEscaped(std::string& out, std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (char c : bytes) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else {
            auto value = static_cast<std::uint8_t>(c);
            out += {'\\', 'x', kDigits[value >> 4], kDigits[value & 15]};
        }
    }
}

}  // namespace

std::string PrintablePath(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    while (!path.empty()) {
        std::size_t length = SequenceLength(path);
        std::string_view piece = path.substr(0, length ? length : 1);
        if (length == 0 || IsControl(piece))
            AppendEscaped(out, piece);
#ifndef _WIN32
        // On Windows the backslash is the separator, and no name can hold one.
        else if (piece == "\\")
            out += "\\\\";
#endif
        else
            out += piece;
        path.remove_prefix(piece.size());
    }
    return out;
}
