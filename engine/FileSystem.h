// The engine's only way to the file system. One implementation per platform sits behind this
// interface; tests wrap it to inject faults.
//
// Folders are opened once and everything inside them is reached relative to the open folder,
// so a file costs no path resolution from the root. A folder is listed once; the listing keeps
// all names in one buffer, so a listing costs no heap allocation per entry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace FileSync {

class FileSystem;

// A failed file-system operation: the path it failed on and the system's error code.
class FileSystemError : public std::system_error {
public:
    FileSystemError(int code, std::string path);
    const std::string& Path() const { return path_; }
    // The system's own words for the error, e.g. "Permission denied".
    std::string Reason() const { return code().message(); }

private:
    std::string path_;
};

// Tells two folders apart even when reached through different paths or links.
struct FolderIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FolderIdentity&) const = default;
};

// The facts of one file that the comparison uses.
struct FileFacts {
    std::int64_t modifiedSeconds = 0;  // floor of the seconds since the epoch
    std::uint32_t modifiedNanoseconds = 0;
    std::uint64_t size = 0;
    std::uint32_t attributes = 0;  // permission bits, mode & 07777
};

// An open folder. Closes itself through the file system that opened it.
class Folder {
public:
    Folder() = default;
    Folder(FileSystem& owner, std::intptr_t handle, std::string path, FolderIdentity identity,
           std::uint32_t attributes);
    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    ~Folder();

    bool IsOpen() const { return owner_ != nullptr; }
    std::intptr_t Handle() const { return handle_; }
    // The full path, as it was opened.
    const std::string& Path() const { return path_; }
    // The path of `name` inside this folder, with exactly one separator between them.
    std::string PathOf(std::string_view name) const;
    const FolderIdentity& Identity() const { return identity_; }
    std::uint32_t Attributes() const { return attributes_; }
    // Notes that the folder is being listed; true when it was listed before.
    bool MarkListed() const { return std::exchange(listed_, true); }

private:
    void Close() noexcept;

    FileSystem* owner_ = nullptr;
    std::intptr_t handle_ = -1;
    std::string path_;
    FolderIdentity identity_;
    std::uint32_t attributes_ = 0;
    mutable bool listed_ = false;
};

// The entries of one folder, in the order the platform lists them. Every name is followed by a
// NUL in memory, as the file-system operations expect. Files are regular files and
// SubFolders are directories, links followed; anything else (FIFOs, sockets, devices, dangling
// links) is left out. Temporaries the engine writes while copying are counted apart.
class FolderListing {
public:
    enum class Kind : std::uint8_t { File, SubFolder, EngineTemporary };
    struct Entry {
        std::uint32_t nameOffset;
        std::uint32_t nameLength;
        Kind kind;
    };

    // Decides, as each file is listed, whether the listing keeps it. A file not kept is left
    // out of Entries() but still counted, so a caller can work through a large folder while it
    // is read instead of holding every name.
    class FileFilter {
    public:
        virtual bool Keep(std::string_view name) = 0;

    protected:
        ~FileFilter() = default;
    };

    // Empties the listing; a filter stays in place until set to null.
    void Clear();
    void SetFileFilter(FileFilter* filter) { filter_ = filter; }
    void Add(std::string_view name, Kind kind);

    const std::vector<Entry>& Entries() const { return entries_; }
    std::string_view Name(const Entry& entry) const {
        return {names_.data() + entry.nameOffset, entry.nameLength};
    }
    std::size_t Count(Kind kind) const { return counts_[static_cast<int>(kind)]; }

private:
    std::vector<char> names_;
    std::vector<Entry> entries_;
    std::size_t counts_[3] = {0, 0, 0};
    FileFilter* filter_ = nullptr;
};

// Every name handed to these operations is followed in memory by a NUL character, as the names
// of a FolderListing and of a std::string are; implementations may use it in place.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Opens the folder at `path`. An empty path names no folder.
    virtual Folder GetFolder(const std::string& path) = 0;
    // Opens the folder `name` directly inside `parent`.
    virtual Folder GetSubFolder(const Folder& parent, std::string_view name) = 0;
    // Lists the folder once: its files, their count, and its subfolders.
    virtual void List(const Folder& folder, FolderListing& listing) = 0;
    // The facts of the regular file `name` directly in `folder`; false when there is none.
    virtual bool GetFile(const Folder& folder, std::string_view name, FileFacts& facts) = 0;
    // Copies file `name` of `from` to `name` in `to`, replacing a file already there. The copy
    // is written under a temporary name, given the source's permission bits and modification
    // time, and renamed over the target in one step, so the target name never holds a partial
    // file. The temporary is written in the temporary area of `areaOwner`, a folder on the same
    // file system (see ClearTemporaryArea), or in `to` when that is null or takes none.
    // Returns the bytes copied.
    virtual std::uint64_t CopyFile(const Folder& from, const Folder& to, std::string_view name,
                                   const Folder* areaOwner) = 0;
    // The same for a target the comparison found missing. Where the platform can, the copy is
    // written without any name and linked in whole, which needs no rename and leaves nothing
    // behind when the run is killed; otherwise, and when the target has appeared meanwhile, it
    // is made as CopyFile makes it.
    virtual std::uint64_t CopyNewFile(const Folder& from, const Folder& to, std::string_view name,
                                      const Folder* areaOwner) {
        return CopyFile(from, to, name, areaOwner);
    }
    // Removes from the temporary area of `owner` the temporaries that no running copy owns any
    // more, and the area itself once it is empty. Costs one lookup where there is no area.
    virtual void ClearTemporaryArea(const Folder& owner) = 0;
    // Creates the folder at `path` (or `name` in `parent`) unless it exists, and opens it.
    // `created` tells whether it was made here; a new folder stays writable by its owner until
    // SetFolderAttributes gives it its final permission bits.
    virtual Folder CreateFolder(const std::string& path, bool& created) = 0;
    virtual Folder CreateSubFolder(const Folder& parent, std::string_view name, bool& created) = 0;
    virtual void SetFolderAttributes(const Folder& folder, std::uint32_t attributes) = 0;
    // Removes the temporaries in the listing that no running copy owns any more.
    virtual void RemoveStaleTemporaries(const Folder& folder, const FolderListing& listing) = 0;
    // Puts everything written to the folder's file system on stable storage.
    virtual void SyncToStorage(const Folder& folder) = 0;

protected:
    friend class Folder;
    // Folders close themselves through this; implementations must not throw here.
    virtual void CloseFolder(std::intptr_t handle) noexcept = 0;
};

// The file system of the platform the program runs on.
FileSystem& PlatformFileSystem();

}  // namespace FileSync
