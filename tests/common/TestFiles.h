// SPDX-License-Identifier: GPL-3.0-or-later
// Writing files for tests: one helper for every test folder, with or without Qt.
#pragma once

#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

#ifdef QT_CORE_LIB
#include <QString>
#endif

// How WriteFile treats a file that exists already.
enum class WriteMode { Replace, Append };

// Writes `contents` to the file at `path`, making missing folders; false when it cannot.
inline bool WriteFile(const std::filesystem::path& path, std::string_view contents,
                      WriteMode mode = WriteMode::Replace) {
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    std::ofstream out(
        path, std::ios::binary | (mode == WriteMode::Append ? std::ios::app : std::ios::trunc));
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return static_cast<bool>(out.flush());
}

#ifdef QT_CORE_LIB
// The same for a path in Qt's form. Without contents it appends one byte: a write change, as
// the watcher's tests need.
inline bool WriteFile(const QString& path, std::string_view contents = "x",
                      WriteMode mode = WriteMode::Append) {
    return WriteFile(std::filesystem::path(path.toStdU16String()), contents, mode);
}
#endif
