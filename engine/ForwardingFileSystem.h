// A file system that hands every operation to another one. Derive from it to watch or change
// a few operations (fault injection, recording) and leave the rest as they are.
#pragma once

#include "FileSystem.h"

namespace FileSync {

class ForwardingFileSystem : public FileSystem {
public:
    explicit ForwardingFileSystem(FileSystem& inner = PlatformFileSystem()) : inner_(inner) {}

    Folder GetFolder(const std::string& path) override { return inner_.GetFolder(path); }
    Folder GetSubFolder(const Folder& parent, std::string_view name) override {
        return inner_.GetSubFolder(parent, name);
    }
    void List(const Folder& folder, FolderListing& listing) override {
        inner_.List(folder, listing);
    }
    bool GetFile(const Folder& folder, std::string_view name, FileFacts& facts) override {
        return inner_.GetFile(folder, name, facts);
    }
    std::uint64_t CopyFile(const Folder& from, const Folder& to, std::string_view name,
                           const Folder* areaOwner) override {
        return inner_.CopyFile(from, to, name, areaOwner);
    }
    // CopyNewFile is left to the base, which goes through CopyFile: a wrapper that watches
    // CopyFile sees every copy.
    Folder CreateFolder(const std::string& path, bool& created) override {
        return inner_.CreateFolder(path, created);
    }
    Folder CreateSubFolder(const Folder& parent, std::string_view name, bool& created) override {
        return inner_.CreateSubFolder(parent, name, created);
    }
    void SetFolderAttributes(const Folder& folder, std::uint32_t attributes) override {
        inner_.SetFolderAttributes(folder, attributes);
    }
    void ClearTemporaryArea(const Folder& owner) override { inner_.ClearTemporaryArea(owner); }
    void RemoveStaleTemporaries(const Folder& folder, const FolderListing& listing) override {
        inner_.RemoveStaleTemporaries(folder, listing);
    }
    void SyncToStorage(const Folder& folder) override { inner_.SyncToStorage(folder); }

protected:
    // Folders close through the file system that opened them: the inner one.
    void CloseFolder(std::intptr_t) noexcept override {}

private:
    FileSystem& inner_;
};

}  // namespace FileSync
