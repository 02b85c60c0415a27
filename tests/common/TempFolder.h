// SPDX-License-Identifier: GPL-3.0-or-later
// A fresh folder under the system's temporary folder, removed with everything in it. Portable:
// only std::filesystem, so the tests that use it also run on Windows.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class TempFolder {
public:
    // Under `base`, the system's temporary folder unless another is given.
    explicit TempFolder(
        const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
        std::random_device random;
        std::error_code error;
        for (;;) {
            const auto path = base / ("tavrick-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(path, error) || error) {
                root_ = path.string();
                return;
            }
        }
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(root_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The path of `relative` (with "/" separators) below the folder, in the system's own form,
    // as the engine reports paths.
    std::string operator/(const std::string& relative) const {
#ifdef _WIN32
        std::string path = root_ + "\\" + relative;
        for (char& c : path)
            if (c == '/')
                c = '\\';
        return path;
#else
        return root_ + "/" + relative;
#endif
    }
    const std::string& Path() const {
        return root_;
    }

private:
    std::string root_;
};
