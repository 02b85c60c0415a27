// SPDX-License-Identifier: GPL-3.0-or-later
// The platform-neutral parts of the file-system layer: errors, open folders and listings.
#include "FileSystem.h"

#include <cerrno>
#include <utility>

namespace FileSync {

FileSystemError::FileSystemError(int code, std::string path, Refusal refusal)
    : std::system_error(code, std::generic_category(), path),
      path_(std::move(path)),
      refusal_(refusal) {}

Folder::Folder(FileSystem& owner, std::intptr_t handle, std::string path, FolderIdentity identity,
               std::uint32_t attributes, bool onPseudoFileSystem)
    : owner_(&owner),
      handle_(handle),
      path_(std::move(path)),
      identity_(identity),
      attributes_(attributes),
      onPseudoFileSystem_(onPseudoFileSystem) {}

Folder::Folder(Folder&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)),
      handle_(std::exchange(other.handle_, -1)),
      path_(std::move(other.path_)),
      identity_(other.identity_),
      attributes_(other.attributes_),
      onPseudoFileSystem_(other.onPseudoFileSystem_) {}

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        Close();
        owner_ = std::exchange(other.owner_, nullptr);
        handle_ = std::exchange(other.handle_, -1);
        path_ = std::move(other.path_);
        identity_ = other.identity_;
        attributes_ = other.attributes_;
        onPseudoFileSystem_ = other.onPseudoFileSystem_;
    }
    return *this;
}

Folder::~Folder() {
    Close();
}

void Folder::Close() noexcept {
    if (owner_)
        owner_->CloseFolder(handle_);
    owner_ = nullptr;
    handle_ = -1;
}

namespace {

// The system's separator. Windows also takes "/" as one, so a path ending in it needs no other.
#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

}  // namespace

std::string Folder::PathOf(std::string_view name) const {
    std::string path;
    path.reserve(path_.size() + 1 + name.size());
    path = path_;
    if (path.empty() || (path.back() != '/' && path.back() != kSeparator))
        path += kSeparator;
    path += name;
    return path;
}

File::File(FileSystem& owner, std::intptr_t handle, std::string path,
           std::unique_ptr<LayerState> state)
    : owner_(&owner), handle_(handle), path_(std::move(path)), state_(std::move(state)) {}

File::File(File&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)),
      handle_(std::exchange(other.handle_, -1)),
      path_(std::move(other.path_)),
      state_(std::move(other.state_)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (owner_)
            owner_->CloseFile(*this);
        owner_ = std::exchange(other.owner_, nullptr);
        handle_ = std::exchange(other.handle_, -1);
        path_ = std::move(other.path_);
        state_ = std::move(other.state_);
    }
    return *this;
}

File::~File() {
    if (owner_)
        owner_->CloseFile(*this);
}

void File::Release() noexcept {
    owner_ = nullptr;
    handle_ = -1;
}

void FolderListing::Clear() {
    names_.clear();
    entries_.clear();
    counts_[0] = counts_[1] = counts_[2] = 0;
}

void FolderListing::Add(std::string_view name, Kind kind) {
    if (kind == Kind::File && filter_ && !filter_->Keep(name)) {
        ++counts_[static_cast<int>(kind)];
        return;
    }
    entries_.push_back(
        {static_cast<std::uint32_t>(names_.size()), static_cast<std::uint32_t>(name.size()), kind});
    names_.insert(names_.end(), name.begin(), name.end());
    names_.push_back('\0');
    ++counts_[static_cast<int>(kind)];
}

void FileSystem::SetFileTimes(const Folder& folder, std::string_view name, const FileFacts&) {
    throw FileSystemError(EOPNOTSUPP, folder.PathOf(name));
}

}  // namespace FileSync
