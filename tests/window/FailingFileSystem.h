// SPDX-License-Identifier: GPL-3.0-or-later
// The platform's file system with chosen copies failing, as a full disk or a locked file would,
// a hook after every copy that succeeded and one before the copies go to stable storage.
#pragma once

#include <cerrno>
#include <functional>
#include <set>
#include <string>

#include "tools/ForwardingFileSystem.h"

class FailingFileSystem : public FileSync::ForwardingFileSystem {
public:
    // File names whose copy fails.
    std::set<std::string, std::less<>> failingNames;
    std::function<void()> afterCopy;
    std::function<void()> beforeSyncToStorage;

    // Every copy starts by opening its source.
    FileSync::File OpenFile(const FileSync::Folder& folder, std::string_view name,
                            FileSync::FileFacts& facts) override {
        if (failingNames.contains(name))
            throw FileSync::FileSystemError(EACCES, folder.PathOf(name));
        return ForwardingFileSystem::OpenFile(folder, name, facts);
    }

    // A copy has succeeded once its temporary takes the target's name.
    void InstallTemporary(FileSync::File& temporary, const FileSync::Folder& to,
                          std::string_view name, bool replace) override {
        ForwardingFileSystem::InstallTemporary(temporary, to, name, replace);
        if (afterCopy)
            afterCopy();
    }

    void SyncToStorage(const FileSync::Folder& folder) override {
        if (beforeSyncToStorage)
            beforeSyncToStorage();
        ForwardingFileSystem::SyncToStorage(folder);
    }
};
