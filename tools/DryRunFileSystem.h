// SPDX-License-Identifier: GPL-3.0-or-later
// A file system that reads through to another one and writes nothing. What a run would create
// exists only here: a folder it would make is an empty stand-in, a copy it would write is
// counted but never read or written, and installing one records it as a would-be copy. So the
// engine runs its own decisions unchanged, and the destination, its top and its temporary area
// are left exactly as they were.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ForwardingFileSystem.h"

namespace FileSync {

class DryRunFileSystem : public ForwardingFileSystem {
public:
    // Why a file would be copied.
    enum class Why { NewFolder, New, Newer, OtherSize, Link };
    struct WouldCopy {
        std::string path;  // in the destination
        Why why;
    };

    explicit DryRunFileSystem(FileSystem& inner = PlatformFileSystem());

    // Folders that would be made and files that would be copied, in the order the run met them.
    const std::vector<WouldCopy>& WouldCopies() const { return wouldCopies_; }

    Folder GetSubFolder(const Folder& parent, std::string_view name) override;
    Folder GetSubFolderNoFollow(const Folder& parent, std::string_view name) override;
    EntryKind LookAt(const Folder& folder, std::string_view name, FileFacts& facts,
                     FolderIdentity& identity) override;
    void List(const Folder& folder, FolderListing& listing) override;
    bool GetFile(const Folder& folder, std::string_view name, FileFacts& facts) override;
    Folder CreateFolder(const std::string& path, std::uint32_t attributes, bool& created) override;
    Folder CreateSubFolder(const Folder& parent, std::string_view name, std::uint32_t attributes,
                           bool& created) override;
    void SetFolderAttributes(const Folder&, std::uint32_t) override {}
    bool RemoveEmptySubFolder(const Folder& parent, std::string_view name) override;
    void GetFileFacts(const File& file, FileFacts& facts) override;
    File CreateTemporary(const Folder& folder, std::string_view name,
                         std::string reportedPath) override;
    std::uint64_t CopyFileData(const File& from, const File& to, std::uint64_t offset,
                               std::uint64_t limit) override;
    void SetFileTimesAndAttributes(File& file, const FileFacts& facts) override;
    void SetFileTimes(const Folder& folder, std::string_view name, const FileFacts& facts) override;
    void InstallTemporary(File& temporary, const Folder& to, std::string_view name,
                          bool replace) override;
    void DiscardTemporary(File& temporary) noexcept override;
    bool RemoveUnusedFile(const Folder&, std::string_view) override { return false; }
    void CreateLink(const Folder&, std::string_view, const std::string&, bool) override {}
    void InstallLink(const Folder& folder, std::string_view from, const Folder& to,
                     std::string_view name, bool replace) override;
    bool RemoveLink(const Folder&, std::string_view) override { return false; }
    void SyncToStorage(const Folder&) override {}

protected:
    void CloseFolder(std::intptr_t) noexcept override {}
    void CloseFile(File& file) noexcept override;

private:
    // Stand-ins are told apart from the inner file system's folders and files by their owner.
    bool IsStandIn(const Folder& folder) const;
    bool IsStandIn(const File& file) const;
    Folder StandInFolder(std::string path, std::uint32_t attributes);
    Why WhyCopied(const Folder& to, std::string_view name, const FileFacts& source);

    FileSystem& inner_;
    std::intptr_t nextHandle_ = 1;
    std::map<std::intptr_t, FileFacts> copies_;  // the stand-in temporaries, by handle
    std::vector<WouldCopy> wouldCopies_;
    // What each would-be copy would hold once installed, by its path, so the run's read-back
    // of a copy's time finds what it gave it and never turns to the real target.
    std::map<std::string, FileFacts> installed_;
};

}  // namespace FileSync
