// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's only way to the file system. One implementation per platform sits behind this
// interface (engine/posix, engine/win); tests wrap it to inject faults.
//
// Folders are opened once and everything inside them is reached relative to the open folder,
// so a file costs no path resolution from the root. A folder is listed once; the listing keeps
// all names in one buffer, so a listing costs no heap allocation per entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
    // What a layer refused for a reason no errno value names.
    enum class Refusal : std::uint8_t {
        None,
        Encrypted,  // an encrypted file whose copy could only be written in plain text
    };

    FileSystemError(int code, std::string path, Refusal refusal = Refusal::None);
    const std::string& Path() const { return path_; }
    // The system's own words for the error, e.g. "Permission denied".
    std::string Reason() const { return code().message(); }
    Refusal Refused() const { return refusal_; }

private:
    std::string path_;
    Refusal refusal_;
};

// Tells two folders apart even when reached through different paths or links. An identity the
// system could not tell (an ID of zero) equals none, not even itself: a folder that cannot be
// told apart is never taken for one already seen.
struct FolderIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t inodeHigh = 0;  // where IDs are 128 bits wide (ReFS on Windows)
    bool Known() const { return inode != 0 || inodeHigh != 0; }
    bool operator==(const FolderIdentity& other) const {
        return Known() && device == other.device && inode == other.inode &&
               inodeHigh == other.inodeHigh;
    }
};

// What stands at a name in a folder, looked at without following a link.
enum class EntryKind : std::uint8_t {
    Missing,  // nothing by that name
    File,     // a regular file
    Folder,
    Link,   // a symbolic link; on Windows also a junction or a mount point
    Other,  // a FIFO, socket, device or the like
};

// The facts of one file.
struct FileFacts {
    std::int64_t modifiedSeconds = 0;  // floor of the seconds since the epoch
    std::uint32_t modifiedNanoseconds = 0;
    // The last change of the file's data or of its facts (ctime); any write moves it on.
    std::int64_t changedSeconds = 0;
    std::uint32_t changedNanoseconds = 0;
    std::uint64_t size = 0;
    std::uint32_t attributes = 0;  // permission bits, mode & 07777
    std::uint64_t owner = 0;       // the owning user where the platform has one, else 0
};

// Whether the names of a folder are told apart by letter case, as far as the file system says.
enum class NameCase : std::uint8_t {
    Unknown,  // the engine finds out itself, with a probe in the destination's temporary area
    Exact,    // "Notes.txt" and "notes.txt" are two names
    Folded,   // "Notes.txt" and "notes.txt" name the same file
};

// An open folder. Closes itself through the file system that opened it.
class Folder {
public:
    Folder() = default;
    Folder(FileSystem& owner, std::intptr_t handle, std::string path, FolderIdentity identity,
           std::uint32_t attributes, bool onPseudoFileSystem = false);
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
    // The permission bits when the folder was opened.
    std::uint32_t Attributes() const { return attributes_; }
    // Whether the folder lies on one of the kernel's own file systems (proc, sysfs, ...), whose
    // entries are no data of the user's.
    bool OnPseudoFileSystem() const { return onPseudoFileSystem_; }

private:
    void Close() noexcept;

    FileSystem* owner_ = nullptr;
    std::intptr_t handle_ = -1;
    std::string path_;
    FolderIdentity identity_;
    std::uint32_t attributes_ = 0;
    bool onPseudoFileSystem_ = false;
};

// An open file: a source being read or a temporary being written. Closes itself through the file
// system that opened it; a temporary closed that way is thrown away (see CreateTemporary).
class File {
public:
    // What a layer keeps of an open file beside its handle (e.g. where a temporary was named):
    // each layer derives its own, and only the layer that opened the file looks at it.
    class LayerState {
    public:
        LayerState() = default;
        LayerState(const LayerState&) = delete;
        LayerState& operator=(const LayerState&) = delete;
        virtual ~LayerState() = default;
    };

    File() = default;
    File(FileSystem& owner, std::intptr_t handle, std::string path,
         std::unique_ptr<LayerState> state = nullptr);
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    bool IsOpen() const { return owner_ != nullptr; }
    std::intptr_t Handle() const { return handle_; }
    // The path failures on this file are reported under.
    const std::string& Path() const { return path_; }
    // The state the opening layer gave the file, or null.
    LayerState* State() { return state_.get(); }
    const LayerState* State() const { return state_.get(); }

    // Forgets the handle without closing it; for a layer that has closed it itself.
    void Release() noexcept;

private:
    FileSystem* owner_ = nullptr;
    std::intptr_t handle_ = -1;
    std::string path_;
    std::unique_ptr<LayerState> state_;
};

// The entries of one folder, in the order the platform lists them. Every name is followed by a
// NUL in memory, as the file-system operations expect. Files are regular files, SubFolders are
// directories and Links are symbolic links (on Windows also junctions), whatever they lead to:
// the walk decides whether to follow one. Anything else (FIFOs, sockets, devices) is left out.
// No name is left out for what it is.
class FolderListing {
public:
    enum class Kind : std::uint8_t { File, SubFolder, Link };
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
    // The memory the listing holds.
    std::size_t Bytes() const { return names_.capacity() + entries_.capacity() * sizeof(Entry); }

private:
    std::vector<char> names_;
    std::vector<Entry> entries_;
    std::size_t counts_[3] = {0, 0, 0};
    FileFilter* filter_ = nullptr;
};

// Where a link leads, with every link on the way resolved.
struct LinkTarget {
    // File or SubFolder; Link when it leads to nothing the walk could copy (nowhere, a device).
    FolderListing::Kind kind = FolderListing::Kind::Link;
    // The target's absolute path; empty when it could not be found out.
    std::string path;
    bool onPseudoFileSystem = false;
};

// What a name in a folder holds, links not followed.
enum class NameHolds : std::uint8_t { Nothing, Link, Other };

// The primitives the engine builds on. They carry no policy: which names temporaries get, where
// they live, when one is stale, and when a copy may be installed are the engine's decisions.
//
// Every name handed to these operations is followed in memory by a NUL character, as the names
// of a FolderListing and of a std::string are; implementations may use it in place.
//
// Failures throw FileSystemError with an errno value of the generic category (a layer over
// another system maps its codes onto these, e.g. ERROR_NOT_SAME_DEVICE to EXDEV) and the path
// the failure concerns. Operations that say "never throws" report through their result.
//
// Threads: a file system that answers SafeForReadAhead with true may be asked GetSubFolder,
// GetSubFolderNoFollow, List, GetFile and LookAt, and may close folders, from several threads
// at once, while the engine's own thread goes on with any other call; two threads never list
// the same Folder at once, and a folder is never closed while another call uses it.
// Everything else comes from one thread.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Whether the engine may read this file system from several threads (see above). A layer
    // that keeps state of its own, such as a test double that records calls, answers false and
    // is then read on the caller's thread only.
    virtual bool SafeForReadAhead() const { return false; }
    // Whether a copy's temporary is to be made in the folder the copy goes to rather than in the
    // destination top's temporary area. Where a moved file keeps what it got where it was made
    // (on NTFS its security, compression and encryption), only its own folder gives it the
    // right ones; such a layer's temporaries must go with their handle when a run is killed.
    virtual bool TemporariesInTargetFolder() const { return false; }

    // --- Folders
    // Opens the folder at `path`, links followed. An empty path names no folder (ENOENT).
    virtual Folder GetFolder(const std::string& path) = 0;
    // Opens the folder `name` directly inside `parent`, links followed. Throws ENOENT when
    // there is none, ENOTDIR when it is no folder, ENAMETOOLONG for a name the system refuses.
    virtual Folder GetSubFolder(const Folder& parent, std::string_view name) = 0;
    // Opens the folder `name` directly inside `parent` as GetSubFolder does, but never through
    // a link: a link there (see EntryKind::Link) throws ELOOP. For the folders the engine writes
    // into, which a link must never lead out of.
    virtual Folder GetSubFolderNoFollow(const Folder& parent, std::string_view name) = 0;
    // Lists the folder's files and subfolders (see FolderListing). A folder may be listed more
    // than once; each listing starts from its beginning.
    virtual void List(const Folder& folder, FolderListing& listing) = 0;
    // Creates the folder at `path` (or `name` in `parent`) unless it exists, and opens it.
    // `created` tells whether it was made here; a folder made here has exactly `attributes`,
    // whatever the process's default mask. An existing folder keeps its own. CreateFolder
    // follows links; CreateSubFolder never does: a link at `name` throws ELOOP.
    virtual Folder CreateFolder(const std::string& path, std::uint32_t attributes,
                                bool& created) = 0;
    virtual Folder CreateSubFolder(const Folder& parent, std::string_view name,
                                   std::uint32_t attributes, bool& created) = 0;
    // Gives the open folder the permission bits `attributes` (mode & 07777).
    virtual void SetFolderAttributes(const Folder& folder, std::uint32_t attributes) = 0;
    // Removes the empty folder `name` in `parent`, never following a link. Never throws: false
    // when it holds anything, is gone, or cannot be removed.
    virtual bool RemoveEmptySubFolder(const Folder& parent, std::string_view name) = 0;

    // --- Files
    // The facts of the regular file `name` directly in `folder`, links followed; false when
    // there is none (or it is no regular file). Opens nothing.
    virtual bool GetFile(const Folder& folder, std::string_view name, FileFacts& facts) = 0;
    // What stands at `name` in `folder`, a link not followed: for a regular file its facts go
    // to `facts`, and whatever stands there gives its identity (as a Folder's) to `identity`.
    // Missing only when there is nothing by that name; any other failure to look throws.
    virtual EntryKind LookAt(const Folder& folder, std::string_view name, FileFacts& facts,
                             FolderIdentity& identity) = 0;
    // Opens the regular file `name` in `folder` for reading and reads its facts. Never blocks on
    // a FIFO put there since the listing: anything but a regular file throws EINVAL. Failures
    // name the file's path.
    virtual File OpenFile(const Folder& folder, std::string_view name, FileFacts& facts) = 0;
    // The facts of an open file, as they are now.
    virtual void GetFileFacts(const File& file, FileFacts& facts) = 0;
    // Creates a new, empty file in `folder`, open for writing, for its owner only (mode 0600).
    // With an empty `name` the file has no name at all until InstallTemporary gives it one;
    // where the platform cannot do that it throws EOPNOTSUPP. With a name it is created
    // exclusively (EEXIST when the name is taken), and while this handle is open the file is
    // in use: RemoveUnusedFile leaves it, from this process as from any other. Closing the
    // handle without InstallTemporary throws the file away when it has no name; a named one
    // stays until DiscardTemporary or RemoveUnusedFile. Failures, and all later failures on the
    // file, are reported under `reportedPath`. `folder` must stay open while the file is.
    virtual File CreateTemporary(const Folder& folder, std::string_view name,
                                 std::string reportedPath) = 0;
    // Copies the data of `from` from `offset` on into the same offsets of `to`: at most `limit`
    // bytes of data per call, holes skipped over not counted. Holes of the source stay holes; a
    // hole at the source's end is made by giving `to` the source's length. Returns how far it
    // got past `offset`, data and holes; 0 only at the source's end. A failure to read throws
    // under `from`'s path, a failure to write under `to`'s.
    virtual std::uint64_t CopyFileData(const File& from, const File& to, std::uint64_t offset,
                                       std::uint64_t limit) = 0;
    // Gives the open file the modification time (and the same access time) and the permission
    // bits in `facts`.
    virtual void SetFileTimesAndAttributes(File& file, const FileFacts& facts) = 0;
    // Gives the file `name` in `folder` the modification time in `facts` (and the same access
    // time), through its name, never following a link: for file systems that lose a time set
    // on a file that is still open. EOPNOTSUPP where a layer has no such call.
    virtual void SetFileTimes(const Folder& folder, std::string_view name, const FileFacts& facts);
    // Gives the temporary the name `name` in `to` in one step, so the name never holds part of a
    // file, and closes it. `replace` lets it replace a file of that name; else EEXIST is thrown
    // when the name is taken (a temporary without a name only ever takes a free name). EXDEV
    // when the temporary's folder is on another mount than `to`; EOPNOTSUPP when a temporary
    // without a name cannot be given one here. Any failure leaves the temporary to
    // DiscardTemporary; a failure after the name was given takes the name away again.
    virtual void InstallTemporary(File& temporary, const Folder& to, std::string_view name,
                                  bool replace) = 0;
    // Closes a temporary that is not to be installed and removes it. Never throws.
    virtual void DiscardTemporary(File& temporary) noexcept = 0;
    // Removes the regular file `name` in `folder` unless it is a temporary still in use (see
    // CreateTemporary); never follows a link. Never throws: true when it was removed.
    virtual bool RemoveUnusedFile(const Folder& folder, std::string_view name) = 0;

    // --- Links
    // Where the link `name` in `folder` leads. Never throws: a link that leads nowhere, or
    // that cannot be resolved, has kind Link.
    virtual LinkTarget ResolveLink(const Folder& folder, std::string_view name) = 0;
    // The absolute path of the open folder with every link resolved, in the form ResolveLink
    // gives; empty when it cannot be found out. Never throws.
    virtual std::string ResolvedPath(const Folder& folder) = 0;
    // Reads the target text of the link `name` in `folder`, never following it, and says what
    // the name holds; `target` is only set for a link. Throws when the name cannot be looked at.
    virtual NameHolds ReadLink(const Folder& folder, std::string_view name,
                               std::string& target) = 0;
    // Makes a link `name` in `folder` with the target text `target`, never replacing anything
    // (EEXIST). `toFolder` says what it leads to, for platforms whose links differ by that.
    // EPERM where the platform or the file system lets the program make no link.
    virtual void CreateLink(const Folder& folder, std::string_view name, const std::string& target,
                            bool toFolder) = 0;
    // Gives the link `from` in `folder` the name `name` in `to` in one step. `replace` lets it
    // replace a link or file of that name; else EEXIST is thrown when the name is taken.
    virtual void InstallLink(const Folder& folder, std::string_view from, const Folder& to,
                             std::string_view name, bool replace) = 0;
    // Removes the link `name` in `folder`, and nothing that is no link. Never throws: true
    // when it was removed.
    virtual bool RemoveLink(const Folder& folder, std::string_view name) = 0;

    // --- The run
    // Puts everything written to the folder's file system on stable storage.
    virtual void SyncToStorage(const Folder& folder) = 0;
    // What the destination keeps, asked once per run of the destination's top folder.
    // A text that names the file system `folder` lies on and stays the same while it is
    // attached elsewhere or again (a volume UUID where there is one); empty where unknown.
    virtual std::string FileSystemIdentity(const Folder&) { return {}; }
    // Whether names in `folder` are told apart by letter case; Unknown lets the engine probe.
    virtual NameCase NamesCase(const Folder&) { return NameCase::Unknown; }
    // True when the file system is known to keep modification times to the nanosecond, as
    // they are set; false lets the engine probe what it keeps.
    virtual bool KeepsExactTimes(const Folder&) { return false; }
    // True when the file system stores local time, converted with the daylight-saving offset
    // of the day it is read (FAT): every time then reads an hour off after a change of season.
    virtual bool KeepsLocalTimes(const Folder&) { return false; }
    // Lets the process hold as many open handles as the system allows it, so a deep walk,
    // which holds two folders per level, does not run short. Returns how many it may now
    // hold; 0 where the platform sets no such limit. Never throws.
    virtual std::size_t RaiseOpenHandleLimit() { return 0; }

protected:
    friend class Folder;
    friend class File;
    // Folders and files close themselves through these; implementations must not throw here.
    virtual void CloseFolder(std::intptr_t handle) noexcept = 0;
    virtual void CloseFile(File& file) noexcept = 0;
};

// The file system of the platform the program runs on.
FileSystem& PlatformFileSystem();

}  // namespace FileSync
