// SPDX-License-Identifier: GPL-3.0-or-later
// Paths as a terminal or a log may show them: a name may hold any byte but '/' and NUL, and a
// newline or an escape sequence printed raw would forge lines or drive the terminal.
#pragma once

#include <string>
#include <string_view>

// `path` with every byte that is not part of printable UTF-8 written as \xHH (\n, \t and \r
// as such), and a backslash doubled, so every printed path is one line and reads back
// unambiguously.
std::string PrintablePath(std::string_view path);
