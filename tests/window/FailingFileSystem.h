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

    // Every copy starts by opening its source.
    FileSync::File OpenFile(const FileSync::Folder& folder, std::string_view name,
                            FileSync::FileFacts& facts) override {
        if (failingNames.contains(name))
            throw FileSync::FileSystemError(EACCES, folder.PathOf(name));
        return ForwardingFileSystem::OpenFile(folder, name, facts);
    }
};
