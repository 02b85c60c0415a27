// The platform's file system with chosen copies failing, as a full disk or a locked file would,
// and a hook after every copy that succeeded.
#pragma once

#include <cerrno>
#include <functional>
#include <set>
#include <string>

#include "ForwardingFileSystem.h"

class FailingFileSystem : public FileSync::ForwardingFileSystem {
public:
    // File names whose copy fails.
    std::set<std::string, std::less<>> failingNames;
    std::function<void()> afterCopy;

    std::uint64_t CopyFile(const FileSync::Folder& from, const FileSync::Folder& to,
                           std::string_view name, const FileSync::Folder* areaOwner) override {
        if (failingNames.contains(name))
            throw FileSync::FileSystemError(EACCES, from.PathOf(name));
        const std::uint64_t bytes = ForwardingFileSystem::CopyFile(from, to, name, areaOwner);
        if (afterCopy)
            afterCopy();
        return bytes;
    }
};
