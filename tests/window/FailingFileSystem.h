// The platform's file system with chosen copies failing, as a full disk or a locked file would.
#pragma once

#include <cerrno>
#include <set>
#include <string>

#include "FileSystem.h"

class FailingFileSystem : public FileSync::FileSystem {
public:
    using Folder = FileSync::Folder;

    // File names whose copy fails.
    std::set<std::string, std::less<>> failingNames;

    Folder GetFolder(const std::string& path) override { return inner_.GetFolder(path); }
    Folder GetSubFolder(const Folder& parent, std::string_view name) override {
        return inner_.GetSubFolder(parent, name);
    }
    void List(const Folder& folder, FileSync::FolderListing& listing) override {
        inner_.List(folder, listing);
    }
    bool GetFile(const Folder& folder, std::string_view name, FileSync::FileFacts& facts) override {
        return inner_.GetFile(folder, name, facts);
    }
    std::uint64_t CopyFile(const Folder& from, const Folder& to, std::string_view name) override {
        if (failingNames.contains(name))
            throw FileSync::FileSystemError(EACCES, from.PathOf(name));
        return inner_.CopyFile(from, to, name);
    }
    Folder CreateFolder(const std::string& path, bool& created) override {
        return inner_.CreateFolder(path, created);
    }
    Folder CreateSubFolder(const Folder& parent, std::string_view name, bool& created) override {
        return inner_.CreateSubFolder(parent, name, created);
    }
    void SetFolderAttributes(const Folder& folder, std::uint32_t attributes) override {
        inner_.SetFolderAttributes(folder, attributes);
    }
    void RemoveStaleTemporaries(const Folder& folder,
                                const FileSync::FolderListing& listing) override {
        inner_.RemoveStaleTemporaries(folder, listing);
    }
    void SyncToStorage(const Folder& folder) override { inner_.SyncToStorage(folder); }

protected:
    // Folders close through the file system that opened them, the inner one.
    void CloseFolder(std::intptr_t) noexcept override {}

private:
    FileSync::FileSystem& inner_ = FileSync::PlatformFileSystem();
};
