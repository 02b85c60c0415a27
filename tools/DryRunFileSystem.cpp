// SPDX-License-Identifier: GPL-3.0-or-later
#include "DryRunFileSystem.h"

#include <algorithm>
#include <cerrno>
#include <limits>

#include "FileCopy.h"

namespace FileSync {
namespace {

// Stand-in folders carry this device, which no real file system has; their handles and those
// of stand-in files count down from here, far from any descriptor or Windows handle.
constexpr std::uint64_t kStandInDevice = std::numeric_limits<std::uint64_t>::max();
constexpr std::intptr_t kFirstStandInHandle = -1000;

bool Missing(const FileSystemError& error) {
    return error.code() == std::make_error_condition(std::errc::no_such_file_or_directory);
}

}  // namespace

DryRunFileSystem::DryRunFileSystem(FileSystem& inner)
    : ForwardingFileSystem(inner), inner_(inner), nextHandle_(kFirstStandInHandle) {}

bool DryRunFileSystem::IsStandIn(const Folder& folder) const {
    return folder.Identity().device == kStandInDevice;
}

bool DryRunFileSystem::IsStandIn(const File& file) const {
    return file.Handle() <= kFirstStandInHandle && copies_.contains(file.Handle());
}

Folder DryRunFileSystem::StandInFolder(std::string path, std::uint32_t attributes) {
    std::intptr_t handle = nextHandle_--;
    FolderIdentity identity{kStandInDevice, static_cast<std::uint64_t>(-handle)};
    return Folder(*this, handle, std::move(path), identity, attributes);
}

// A folder that would be made is empty: it has no subfolders and no files.
Folder DryRunFileSystem::GetSubFolder(const Folder& parent, std::string_view name) {
    if (IsStandIn(parent))
        throw FileSystemError(ENOENT, parent.PathOf(name));
    return inner_.GetSubFolder(parent, name);
}

Folder DryRunFileSystem::GetSubFolderNoFollow(const Folder& parent, std::string_view name) {
    if (IsStandIn(parent))
        throw FileSystemError(ENOENT, parent.PathOf(name));
    return inner_.GetSubFolderNoFollow(parent, name);
}

EntryKind DryRunFileSystem::LookAt(const Folder& folder, std::string_view name, FileFacts& facts,
                                   FolderIdentity& identity) {
    return IsStandIn(folder) ? EntryKind::Missing : inner_.LookAt(folder, name, facts, identity);
}

void DryRunFileSystem::List(const Folder& folder, FolderListing& listing) {
    if (IsStandIn(folder))
        listing.Clear();
    else
        inner_.List(folder, listing);
}

bool DryRunFileSystem::GetFile(const Folder& folder, std::string_view name, FileFacts& facts) {
    auto installed = installed_.find(folder.PathOf(name));
    if (installed != installed_.end()) {
        facts = installed->second;
        return true;
    }
    return !IsStandIn(folder) && inner_.GetFile(folder, name, facts);
}

Folder DryRunFileSystem::CreateFolder(const std::string& path, std::uint32_t attributes,
                                      bool& created) {
    try {
        created = false;
        return inner_.GetFolder(path);
    } catch (const FileSystemError& error) {
        if (!Missing(error))
            throw;
    }
    created = true;
    wouldCopies_.push_back({path, Why::NewFolder});
    return StandInFolder(path, attributes);
}

Folder DryRunFileSystem::CreateSubFolder(const Folder& parent, std::string_view name,
                                         std::uint32_t attributes, bool& created) {
    created = false;
    if (!IsStandIn(parent)) {
        try {
            // As the real one, never through a link.
            return inner_.GetSubFolderNoFollow(parent, name);
        } catch (const FileSystemError& error) {
            if (!Missing(error))
                throw;
        }
    }
    created = true;
    // The temporary area is the run's own business, not part of what it would copy.
    if (name != kTemporaryArea)
        wouldCopies_.push_back({parent.PathOf(name), Why::NewFolder});
    return StandInFolder(parent.PathOf(name), attributes);
}

bool DryRunFileSystem::RemoveEmptySubFolder(const Folder& parent, std::string_view) {
    return IsStandIn(parent);
}

File DryRunFileSystem::CreateTemporary(const Folder&, std::string_view, std::string reportedPath) {
    std::intptr_t handle = nextHandle_--;
    copies_[handle] = FileFacts{};
    return File(*this, handle, std::move(reportedPath));
}

// Nothing is read or written; the copy "gets" as far as the source is long, so the run counts
// the bytes a real one would copy.
std::uint64_t DryRunFileSystem::CopyFileData(const File& from, const File& to, std::uint64_t offset,
                                             std::uint64_t limit) {
    if (!IsStandIn(to))
        throw FileSystemError(EROFS, to.Path());
    FileFacts source;
    inner_.GetFileFacts(from, source);
    FileFacts& copy = copies_[to.Handle()];
    copy.owner = source.owner;
    std::uint64_t step = offset < source.size ? std::min(source.size - offset, limit) : 0;
    copy.size = std::max(copy.size, offset + step);
    return step;
}

void DryRunFileSystem::GetFileFacts(const File& file, FileFacts& facts) {
    if (IsStandIn(file))
        facts = copies_[file.Handle()];
    else
        inner_.GetFileFacts(file, facts);
}

void DryRunFileSystem::SetFileTimesAndAttributes(File& file, const FileFacts& facts) {
    if (!IsStandIn(file))
        throw FileSystemError(EROFS, file.Path());
    FileFacts& copy = copies_[file.Handle()];
    std::uint64_t size = copy.size;
    copy = facts;
    copy.size = size;
}

void DryRunFileSystem::InstallLink(const Folder&, std::string_view, const Folder& to,
                                   std::string_view name, bool) {
    wouldCopies_.push_back({to.PathOf(name), Why::Link});
}

void DryRunFileSystem::SetFileTimes(const Folder& folder, std::string_view name,
                                    const FileFacts& facts) {
    auto installed = installed_.find(folder.PathOf(name));
    if (installed == installed_.end())
        throw FileSystemError(EROFS, folder.PathOf(name));
    installed->second.modifiedSeconds = facts.modifiedSeconds;
    installed->second.modifiedNanoseconds = facts.modifiedNanoseconds;
}

DryRunFileSystem::Why DryRunFileSystem::WhyCopied(const Folder& to, std::string_view name,
                                                  const FileFacts& source) {
    FileFacts target;
    if (IsStandIn(to) || !inner_.GetFile(to, name, target))
        return Why::New;
    // Times are compared in whole seconds, as the run compares them.
    return source.modifiedSeconds > target.modifiedSeconds ? Why::Newer : Why::OtherSize;
}

void DryRunFileSystem::InstallTemporary(File& temporary, const Folder& to, std::string_view name,
                                        bool) {
    if (!IsStandIn(temporary))
        throw FileSystemError(EROFS, temporary.Path());
    wouldCopies_.push_back({to.PathOf(name), WhyCopied(to, name, copies_[temporary.Handle()])});
    installed_[to.PathOf(name)] = copies_[temporary.Handle()];
    copies_.erase(temporary.Handle());
    temporary.Release();
}

void DryRunFileSystem::DiscardTemporary(File& temporary) noexcept {
    if (!temporary.IsOpen())
        return;
    copies_.erase(temporary.Handle());
    temporary.Release();
}

void DryRunFileSystem::CloseFile(File& file) noexcept {
    copies_.erase(file.Handle());
}

}  // namespace FileSync
