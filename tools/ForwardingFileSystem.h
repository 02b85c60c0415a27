// SPDX-License-Identifier: GPL-3.0-or-later
// A file system that hands every operation to another one. Derive from it to watch or change
// a few operations (a dry run, fault injection, recording) and leave the rest as they are. It is read from
// the engine's own thread only, unless a derived class that is safe from several threads says
// so through SafeForReadAhead.
#pragma once

#include <utility>

#include "engine/FileSystem.h"

namespace FileSync {

class ForwardingFileSystem : public FileSystem {
public:
    explicit ForwardingFileSystem(FileSystem& inner = PlatformFileSystem()) : inner_(inner) {}

    bool TemporariesInTargetFolder() const override { return inner_.TemporariesInTargetFolder(); }
    Folder GetFolder(const std::string& path) override { return inner_.GetFolder(path); }
    Folder GetSubFolder(const Folder& parent, std::string_view name) override {
        return inner_.GetSubFolder(parent, name);
    }
    Folder GetSubFolderNoFollow(const Folder& parent, std::string_view name) override {
        return inner_.GetSubFolderNoFollow(parent, name);
    }
    void List(const Folder& folder, FolderListing& listing) override {
        inner_.List(folder, listing);
    }
    bool GetFile(const Folder& folder, std::string_view name, FileFacts& facts) override {
        return inner_.GetFile(folder, name, facts);
    }
    EntryKind LookAt(const Folder& folder, std::string_view name, FileFacts& facts,
                     FolderIdentity& identity) override {
        return inner_.LookAt(folder, name, facts, identity);
    }
    Folder CreateFolder(const std::string& path, std::uint32_t attributes, bool& created) override {
        return inner_.CreateFolder(path, attributes, created);
    }
    Folder CreateSubFolder(const Folder& parent, std::string_view name, std::uint32_t attributes,
                           bool& created) override {
        return inner_.CreateSubFolder(parent, name, attributes, created);
    }
    void SetFolderAttributes(const Folder& folder, std::uint32_t attributes) override {
        inner_.SetFolderAttributes(folder, attributes);
    }
    bool RemoveEmptySubFolder(const Folder& parent, std::string_view name) override {
        return inner_.RemoveEmptySubFolder(parent, name);
    }
    File OpenFile(const Folder& folder, std::string_view name, FileFacts& facts) override {
        return inner_.OpenFile(folder, name, facts);
    }
    void GetFileFacts(const File& file, FileFacts& facts) override {
        inner_.GetFileFacts(file, facts);
    }
    File CreateTemporary(const Folder& folder, std::string_view name,
                         std::string reportedPath) override {
        return inner_.CreateTemporary(folder, name, std::move(reportedPath));
    }
    std::uint64_t CopyFileData(const File& from, const File& to, std::uint64_t offset,
                               std::uint64_t limit) override {
        return inner_.CopyFileData(from, to, offset, limit);
    }
    void SetFileTimesAndAttributes(File& file, const FileFacts& facts) override {
        inner_.SetFileTimesAndAttributes(file, facts);
    }
    void SetFileTimes(const Folder& folder, std::string_view name,
                      const FileFacts& facts) override {
        inner_.SetFileTimes(folder, name, facts);
    }
    void InstallTemporary(File& temporary, const Folder& to, std::string_view name,
                          bool replace) override {
        inner_.InstallTemporary(temporary, to, name, replace);
    }
    void DiscardTemporary(File& temporary) noexcept override { inner_.DiscardTemporary(temporary); }
    bool RemoveUnusedFile(const Folder& folder, std::string_view name) override {
        return inner_.RemoveUnusedFile(folder, name);
    }
    LinkTarget ResolveLink(const Folder& folder, std::string_view name) override {
        return inner_.ResolveLink(folder, name);
    }
    std::string ResolvedPath(const Folder& folder) override { return inner_.ResolvedPath(folder); }
    NameHolds ReadLink(const Folder& folder, std::string_view name, std::string& target) override {
        return inner_.ReadLink(folder, name, target);
    }
    void CreateLink(const Folder& folder, std::string_view name, const std::string& target,
                    bool toFolder) override {
        inner_.CreateLink(folder, name, target, toFolder);
    }
    void InstallLink(const Folder& folder, std::string_view from, const Folder& to,
                     std::string_view name, bool replace) override {
        inner_.InstallLink(folder, from, to, name, replace);
    }
    bool RemoveLink(const Folder& folder, std::string_view name) override {
        return inner_.RemoveLink(folder, name);
    }
    std::string FileSystemIdentity(const Folder& folder) override {
        return inner_.FileSystemIdentity(folder);
    }
    NameCase NamesCase(const Folder& folder) override { return inner_.NamesCase(folder); }
    bool KeepsExactTimes(const Folder& folder) override { return inner_.KeepsExactTimes(folder); }
    bool KeepsLocalTimes(const Folder& folder) override { return inner_.KeepsLocalTimes(folder); }
    std::size_t RaiseOpenHandleLimit() override { return inner_.RaiseOpenHandleLimit(); }
    void SyncToStorage(const Folder& folder) override { inner_.SyncToStorage(folder); }

protected:
    // Folders and files close through the file system that opened them: the inner one.
    void CloseFolder(std::intptr_t) noexcept override {}
    void CloseFile(File&) noexcept override {}

private:
    FileSystem& inner_;
};

}  // namespace FileSync
