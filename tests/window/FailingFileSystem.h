// The platform's file system with chosen copies failing, as a full disk or a locked file would.
#pragma once

#include <cerrno>
#include <set>
#include <string>

#include "ForwardingFileSystem.h"

class FailingFileSystem : public FileSync::ForwardingFileSystem {
public:
    // File names whose copy fails.
    std::set<std::string, std::less<>> failingNames;

    std::uint64_t CopyFile(const FileSync::Folder& from, const FileSync::Folder& to,
                           std::string_view name, const FileSync::Folder* areaOwner) override {
        if (failingNames.contains(name))
            throw FileSync::FileSystemError(EACCES, from.PathOf(name));
        return ForwardingFileSystem::CopyFile(from, to, name, areaOwner);
    }
};
