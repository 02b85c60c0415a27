// SPDX-License-Identifier: GPL-3.0-or-later
// The file-system layer over POSIX (Linux): everything below an open folder is reached with
// the *at() calls relative to its descriptor, folders are listed with getdents64, and file data
// is copied in the kernel with copy_file_range, range by range around holes, or with
// pread/pwrite where that is not possible.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "FileSystem.h"

namespace FileSync {
namespace {

constexpr std::size_t kCopyBufferSize = 1 << 20;
constexpr std::size_t kListBufferSize = std::size_t{64} * 1024;
// What the layer keeps of an open file: that a source's blocks do not cover its length, so it
// may have holes; or where a named temporary lies, while it is the layer's to rename or remove.
struct PosixFileState final : File::LayerState {
    bool mayHaveHoles = false;
    int folder = -1;
    std::string name;
};

PosixFileState* StateOf(File& file) {
    return dynamic_cast<PosixFileState*>(file.State());
}

bool MayHaveHoles(const File& file) {
    const auto* state = dynamic_cast<const PosixFileState*>(file.State());
    return state && state->mayHaveHoles;
}

// A name as the *at() calls take it. Names reach the file system followed by a NUL (see
// FileSystem), so they are used in place; copying them cost a no-change run of a large folder
// a tenth of its instructions. A name that stops short of a NUL is copied onto the stack.
class CName {
public:
    explicit CName(std::string_view name) {
        if (name.size() > NAME_MAX) {
            tooLong_ = true;
            return;
        }
        if (name.data()[name.size()] == '\0') {
            text_ = name.data();
            return;
        }
        std::memcpy(copy_, name.data(), name.size());
        copy_[name.size()] = '\0';
        text_ = copy_;
    }
    bool TooLong() const { return tooLong_; }
    const char* c_str() const { return text_; }

private:
    const char* text_ = "";
    char copy_[NAME_MAX + 1];  // filled up to the terminator only
    bool tooLong_ = false;
};

int Fd(const Folder& folder) {
    return static_cast<int>(folder.Handle());
}

int Fd(const File& file) {
    return static_cast<int>(file.Handle());
}

FileFacts FactsOf(const struct stat& status) {
    FileFacts facts;
    facts.modifiedSeconds = status.st_mtim.tv_sec;
    facts.modifiedNanoseconds = static_cast<std::uint32_t>(status.st_mtim.tv_nsec);
    facts.changedSeconds = status.st_ctim.tv_sec;
    facts.changedNanoseconds = static_cast<std::uint32_t>(status.st_ctim.tv_nsec);
    facts.size = static_cast<std::uint64_t>(status.st_size);
    facts.attributes = status.st_mode & 07777;
    facts.owner = status.st_uid;
    return facts;
}

// The kernel's own file systems: what they list is the system's state, not data, and some of
// them never end (/proc/kcore, /proc/<pid>/root leading back to "/").
bool IsPseudoFileSystemType(std::uint64_t type) {
    constexpr std::uint64_t kConfigFs = 0x62656570;
    constexpr std::uint64_t kFuseControl = 0x65735543;
    constexpr std::uint64_t kMessageQueue = 0x19800202;
    switch (type) {
        case PROC_SUPER_MAGIC:
        case SYSFS_MAGIC:
        case DEVPTS_SUPER_MAGIC:
        case CGROUP_SUPER_MAGIC:
        case CGROUP2_SUPER_MAGIC:
        case DEBUGFS_MAGIC:
        case TRACEFS_MAGIC:
        case SECURITYFS_MAGIC:
        case BPF_FS_MAGIC:
        case PSTOREFS_MAGIC:
        case kConfigFs:
        case EFIVARFS_MAGIC:
        case kFuseControl:
        case kMessageQueue:
        case BINFMTFS_MAGIC:
        case HUGETLBFS_MAGIC:
            return true;
        default:
            return false;
    }
}

// The type the mount table names for the file system of `device`; empty when not found.
std::string MountedType(dev_t device) {
    std::ifstream table("/proc/self/mountinfo");
    const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers;
        fields >> id >> parent >> numbers;
        std::size_t separator = line.find(" - ");
        if (numbers != wanted || separator == std::string::npos)
            continue;
        std::istringstream rest(line.substr(separator + 3));
        std::string type;
        rest >> type;
        return type;
    }
    return {};
}

// devtmpfs answers as tmpfs does; only the mount table tells the two apart.
bool OnPseudoFileSystem(int fd, dev_t device) {
    struct statfs facts;
    if (::fstatfs(fd, &facts) != 0)
        return false;
    auto type = static_cast<std::uint64_t>(facts.f_type);
    return IsPseudoFileSystemType(type) ||
           (type == TMPFS_MAGIC && MountedType(device) == "devtmpfs");
}

// The path an open descriptor stands for, links resolved; empty when unknown.
std::string PathOfDescriptor(int fd, const std::string& fallback) {
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    char path[PATH_MAX];
    ssize_t length = ::readlink(self, path, sizeof path);
    if (length > 0 && length < static_cast<ssize_t>(sizeof path) && path[0] == '/')
        return std::string(path, static_cast<std::size_t>(length));
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(fallback.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

char* CopyBuffer() {
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer)
        buffer = std::make_unique<char[]>(kCopyBufferSize);
    return buffer.get();
}

// Copies up to `count` bytes at `offset` with pread/pwrite; returns the bytes copied, fewer only
// at the source's end. Failures name the side that failed.
std::uint64_t CopyWithReadWrite(const File& from, const File& to, std::uint64_t offset,
                                std::uint64_t count) {
    char* buffer = CopyBuffer();
    std::uint64_t done = 0;
    while (done < count) {
        std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(count - done, kCopyBufferSize));
        ssize_t got = ::pread(Fd(from), buffer, want, static_cast<off_t>(offset + done));
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw FileSystemError(errno, from.Path());
        }
        for (ssize_t put_total = 0; put_total < got;) {
            ssize_t put =
                ::pwrite(Fd(to), buffer + put_total, static_cast<std::size_t>(got - put_total),
                         static_cast<off_t>(offset + done) + put_total);
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                throw FileSystemError(errno, to.Path());
            }
            put_total += put;
        }
        done += static_cast<std::uint64_t>(got);
    }
    return done;
}

// Copies up to `count` bytes of data at `offset`, in the kernel where it can. Any failure of
// copy_file_range is retried with pread/pwrite, which also says which side failed; so does an
// end of file reported early, as some file systems do.
std::uint64_t CopyRange(const File& from, const File& to, std::uint64_t offset,
                        std::uint64_t count) {
    std::uint64_t done = 0;
    while (done < count) {
        loff_t in = static_cast<loff_t>(offset + done);
        loff_t out = in;
        ssize_t n = ::copy_file_range(Fd(from), &in, Fd(to), &out,
                                      static_cast<std::size_t>(count - done), 0);
        if (n > 0) {
            done += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return done + CopyWithReadWrite(from, to, offset + done, count - done);
    }
    return done;
}

std::array<struct timespec, 2> TimesOf(const FileFacts& facts) {
    const struct timespec modified = {static_cast<time_t>(facts.modifiedSeconds),
                                      static_cast<long>(facts.modifiedNanoseconds)};
    return {modified, modified};
}

// Linux's own disk and memory file systems: nanosecond times, names told apart by case (but
// for ext4 folders marked to fold them).
bool IsNativeFileSystem(decltype(statfs::f_type) type) {
    switch (type) {
        case EXT4_SUPER_MAGIC:  // also ext2 and ext3
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
        case TMPFS_MAGIC:
        case OVERLAYFS_SUPER_MAGIC:
            return true;
        default:
            return false;
    }
}

// The UUID link in /dev/disk/by-uuid that leads to the block device `device`, or empty.
std::string VolumeUuid(dev_t device) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/disk/by-uuid", error)) {
        struct stat status;
        if (::stat(entry.path().c_str(), &status) == 0 && S_ISBLK(status.st_mode) &&
            status.st_rdev == device)
            return entry.path().filename().string();
    }
    return {};
}

// A disk's volume UUID where the system lists one, else the file system's own id, else the
// device number (which an unplugged and replugged FUSE mount does not keep).
std::string IdentityOf(dev_t device, const struct statfs& fileSystem) {
    char text[96];
    std::snprintf(text, sizeof text, "type=%llx ",
                  static_cast<unsigned long long>(fileSystem.f_type));
    std::string identity = text;
    std::string uuid = major(device) != 0 ? VolumeUuid(device) : std::string();
    unsigned first = static_cast<unsigned>(fileSystem.f_fsid.__val[0]);
    unsigned second = static_cast<unsigned>(fileSystem.f_fsid.__val[1]);
    if (!uuid.empty())
        std::snprintf(text, sizeof text, "uuid=%s", uuid.c_str());
    else if (first != 0 || second != 0)
        std::snprintf(text, sizeof text, "fsid=%08x%08x", first, second);
    else
        std::snprintf(text, sizeof text, "device=%u:%u", major(device), minor(device));
    return identity + text;
}

// Devices Adopt compares a folder's with: none (folders made for writing), or any at all.
constexpr std::uint64_t kNoCheck = ~std::uint64_t{0};
constexpr std::uint64_t kAnyDevice = ~std::uint64_t{0} - 1;

class PosixFileSystem final : public FileSystem {
public:
    // Keeps no state between calls; each call works on the handles it is given.
    bool SafeForReadAhead() const override { return true; }

    Folder GetFolder(const std::string& path) override {
        if (path.empty())
            throw FileSystemError(ENOENT, path);
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            throw FileSystemError(errno, path);
        return Adopt(fd, path, nullptr, kAnyDevice);
    }

    Folder GetSubFolder(const Folder& parent, std::string_view name) override {
        CName cname(name);
        if (cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, parent.PathOf(name));
        int fd = ::openat(Fd(parent), cname.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            throw FileSystemError(errno, parent.PathOf(name));
        // Only where a mount begins can the file system change.
        return Adopt(fd, parent.PathOf(name), nullptr, parent.Identity().device);
    }

    Folder GetSubFolderNoFollow(const Folder& parent, std::string_view name) override {
        CName cname(name);
        if (cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, parent.PathOf(name));
        return Adopt(OpenFolderNoFollow(parent, cname), parent.PathOf(name));
    }

    void List(const Folder& folder, FolderListing& listing) override {
        listing.Clear();
        int fd = Fd(folder);
        // Every listing starts from the folder's beginning, wherever an earlier one left it.
        if (::lseek(fd, 0, SEEK_SET) < 0)
            throw FileSystemError(errno, folder.Path());
        alignas(dirent64) char buffer[kListBufferSize];
        for (;;) {
            ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
            if (got == 0)
                return;
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                throw FileSystemError(errno, folder.Path());
            }
            for (ssize_t offset = 0; offset < got;) {
                auto* entry = reinterpret_cast<dirent64*>(buffer + offset);
                offset += entry->d_reclen;
                AddEntry(fd, *entry, listing);
            }
        }
    }

    Folder CreateFolder(const std::string& path, std::uint32_t attributes, bool& created) override {
        if (path.empty())
            throw FileSystemError(ENOENT, path);
        created = MadeFolder(::mkdir(path.c_str(), attributes & 07777), path);
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            throw FileSystemError(errno, path);
        return Adopt(fd, path, created ? &attributes : nullptr);
    }

    Folder CreateSubFolder(const Folder& parent, std::string_view name, std::uint32_t attributes,
                           bool& created) override {
        CName cname(name);
        if (cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, parent.PathOf(name));
        created = MadeFolder(::mkdirat(Fd(parent), cname.c_str(), attributes & 07777),
                             parent.PathOf(name));
        int fd = OpenFolderNoFollow(parent, cname);
        return Adopt(fd, parent.PathOf(name), created ? &attributes : nullptr);
    }

    void SetFolderAttributes(const Folder& folder, std::uint32_t attributes) override {
        if (::fchmod(Fd(folder), attributes & 07777) != 0)
            throw FileSystemError(errno, folder.Path());
    }

    bool RemoveEmptySubFolder(const Folder& parent, std::string_view name) override {
        CName cname(name);
        return !cname.TooLong() && ::unlinkat(Fd(parent), cname.c_str(), AT_REMOVEDIR) == 0;
    }

    bool GetFile(const Folder& folder, std::string_view name, FileFacts& facts) override {
        CName cname(name);
        struct stat status;
        if (cname.TooLong() || ::fstatat(Fd(folder), cname.c_str(), &status, 0) != 0 ||
            !S_ISREG(status.st_mode))
            return false;
        facts = FactsOf(status);
        return true;
    }

    EntryKind LookAt(const Folder& folder, std::string_view name, FileFacts& facts,
                     FolderIdentity& identity) override {
        CName cname(name);
        if (cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, folder.PathOf(name));
        struct stat status;
        if (::fstatat(Fd(folder), cname.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                return EntryKind::Missing;
            throw FileSystemError(errno, folder.PathOf(name));
        }
        identity = {static_cast<std::uint64_t>(status.st_dev),
                    static_cast<std::uint64_t>(status.st_ino)};
        if (S_ISREG(status.st_mode))
            facts = FactsOf(status);
        return S_ISREG(status.st_mode)   ? EntryKind::File
               : S_ISDIR(status.st_mode) ? EntryKind::Folder
               : S_ISLNK(status.st_mode) ? EntryKind::Link
                                         : EntryKind::Other;
    }

    File OpenFile(const Folder& folder, std::string_view name, FileFacts& facts) override {
        CName cname(name);
        if (cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, folder.PathOf(name));
        // Non-blocking, so a FIFO put in place of a file since the listing cannot hang the run.
        int fd = ::openat(Fd(folder), cname.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            throw FileSystemError(errno, folder.PathOf(name));
        struct stat status;
        const bool looked = ::fstat(fd, &status) == 0;
        if (!looked || !S_ISREG(status.st_mode)) {
            const int code = looked ? EINVAL : errno;
            ::close(fd);
            throw FileSystemError(code, folder.PathOf(name));
        }
        facts = FactsOf(status);
        std::unique_ptr<PosixFileState> state;
        if (static_cast<std::uint64_t>(status.st_blocks) * 512 < facts.size) {
            state = std::make_unique<PosixFileState>();
            state->mayHaveHoles = true;
        }
        return File(*this, fd, folder.PathOf(name), std::move(state));
    }

    void GetFileFacts(const File& file, FileFacts& facts) override {
        struct stat status;
        if (::fstat(Fd(file), &status) != 0)
            throw FileSystemError(errno, file.Path());
        facts = FactsOf(status);
    }

    File CreateTemporary(const Folder& folder, std::string_view name,
                         std::string reportedPath) override {
        if (name.empty()) {
            int fd = ::openat(Fd(folder), ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600);
            if (fd < 0) {
                bool unsupported = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
                throw FileSystemError(unsupported ? EOPNOTSUPP : errno, reportedPath);
            }
            return File(*this, fd, std::move(reportedPath));
        }
        CName cname(name);
        if (cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, reportedPath);
        int fd = ::openat(Fd(folder), cname.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            throw FileSystemError(errno, reportedPath);
        auto state = std::make_unique<PosixFileState>();
        state->folder = Fd(folder);
        state->name = name;
        File file(*this, fd, std::move(reportedPath), std::move(state));
        ClaimTemporary(file, folder, cname);
        return file;
    }

    std::uint64_t CopyFileData(const File& from, const File& to, std::uint64_t offset,
                               std::uint64_t limit) override {
        if (!MayHaveHoles(from))
            return CopyRange(from, to, offset, limit);
        off_t data = ::lseek(Fd(from), static_cast<off_t>(offset), SEEK_DATA);
        if (data < 0) {
            if (errno != ENXIO)  // no holes known here: copy it all as data
                return CopyRange(from, to, offset, limit);
            // Nothing but a hole up to the end: the target only needs the length.
            FileFacts facts;
            GetFileFacts(from, facts);
            if (facts.size <= offset)
                return 0;
            if (::ftruncate(Fd(to), static_cast<off_t>(facts.size)) != 0)
                throw FileSystemError(errno, to.Path());
            return facts.size - offset;
        }
        off_t hole = ::lseek(Fd(from), data, SEEK_HOLE);
        std::uint64_t start = static_cast<std::uint64_t>(data);
        std::uint64_t length =
            hole > data ? static_cast<std::uint64_t>(hole - data) : std::uint64_t{limit};
        std::uint64_t copied = CopyRange(from, to, start, std::min(length, limit));
        return start - offset + copied;
    }

    // Both times are given: some FUSE file systems (exfat-fuse) take an access time left out
    // (UTIME_OMIT) as "now" for the modification time too.
    void SetFileTimesAndAttributes(File& file, const FileFacts& facts) override {
        const auto times = TimesOf(facts);
        if (::fchmod(Fd(file), facts.attributes & 07777) != 0 ||
            ::futimens(Fd(file), times.data()) != 0)
            throw FileSystemError(errno, file.Path());
    }

    void SetFileTimes(const Folder& folder, std::string_view name,
                      const FileFacts& facts) override {
        CName cname(name);
        const auto times = TimesOf(facts);
        if (cname.TooLong() ||
            ::utimensat(Fd(folder), cname.c_str(), times.data(), AT_SYMLINK_NOFOLLOW) != 0)
            throw FileSystemError(cname.TooLong() ? ENAMETOOLONG : errno, folder.PathOf(name));
    }

    // Renames without ever replacing. Where the file system has no such rename (FUSE mounts
    // such as exfat-fuse, older network file systems answer EINVAL), a hard link takes the free
    // name in one step; where there are no hard links either, the name is looked at just before
    // a plain rename, which leaves only the instant between the two to chance.
    static int RenameToFreeName(int fromFolder, const char* from, int toFolder, const char* to) {
        if (::renameat2(fromFolder, from, toFolder, to, RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return -1;
        if (::linkat(fromFolder, from, toFolder, to, 0) == 0) {
            ::unlinkat(fromFolder, from, 0);
            return 0;
        }
        if (errno == EEXIST)
            return -1;
        struct stat target;
        if (::fstatat(toFolder, to, &target, AT_SYMLINK_NOFOLLOW) == 0) {
            errno = EEXIST;
            return -1;
        }
        if (errno != ENOENT)
            return -1;
        return ::renameat(fromFolder, from, toFolder, to);
    }

    void InstallTemporary(File& temporary, const Folder& to, std::string_view name,
                          bool replace) override {
        CName cname(name);
        if (cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, temporary.Path());
        PosixFileState* named = StateOf(temporary);
        if (!named || named->name.empty()) {
            LinkIn(temporary, to, cname);
            return;
        }
        // Written data can fail as late as the close; only a complete file gets the name. A
        // second descriptor keeps the lock, and so the temporary in use, until it has it.
        int fd = Fd(temporary);
        int keepsLock = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        temporary.Release();
        int result = ::close(fd);
        CName from(named->name);
        if (result == 0)
            result = replace ? ::renameat(named->folder, from.c_str(), Fd(to), cname.c_str())
                             : RenameToFreeName(named->folder, from.c_str(), Fd(to), cname.c_str());
        int code = errno;
        if (keepsLock >= 0)
            ::close(keepsLock);
        if (result != 0)
            throw FileSystemError(code, temporary.Path());
        named->name.clear();
    }

    void DiscardTemporary(File& temporary) noexcept override {
        if (temporary.IsOpen()) {
            ::close(Fd(temporary));
            temporary.Release();
        }
        PosixFileState* named = StateOf(temporary);
        if (named && !named->name.empty()) {
            ::unlinkat(named->folder, CName(named->name).c_str(), 0);
            named->name.clear();
        }
    }

    bool RemoveUnusedFile(const Folder& folder, std::string_view name) override {
        CName cname(name);
        if (cname.TooLong())
            return false;
        int fd = ::openat(Fd(folder), cname.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return false;
        struct stat open;
        struct stat named;
        bool removed = ::fstat(fd, &open) == 0 && S_ISREG(open.st_mode) &&
                       ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                       ::fstatat(Fd(folder), cname.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                       named.st_dev == open.st_dev && named.st_ino == open.st_ino &&
                       ::unlinkat(Fd(folder), cname.c_str(), 0) == 0;
        ::close(fd);
        return removed;
    }

    LinkTarget ResolveLink(const Folder& folder, std::string_view name) override {
        LinkTarget target;
        CName cname(name);
        int fd = cname.TooLong() ? -1 : ::openat(Fd(folder), cname.c_str(), O_PATH | O_CLOEXEC);
        struct stat status;
        if (fd < 0)
            return target;
        if (::fstat(fd, &status) == 0) {
            target.kind = S_ISREG(status.st_mode)   ? FolderListing::Kind::File
                          : S_ISDIR(status.st_mode) ? FolderListing::Kind::SubFolder
                                                    : FolderListing::Kind::Link;
            target.path = PathOfDescriptor(fd, folder.PathOf(name));
            target.onPseudoFileSystem = OnPseudoFileSystem(fd, status.st_dev);
        }
        ::close(fd);
        return target;
    }

    std::string ResolvedPath(const Folder& folder) override {
        return PathOfDescriptor(Fd(folder), folder.Path());
    }

    NameHolds ReadLink(const Folder& folder, std::string_view name, std::string& target) override {
        CName cname(name);
        if (cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, folder.PathOf(name));
        std::string text(256, '\0');
        for (;;) {
            ssize_t length = ::readlinkat(Fd(folder), cname.c_str(), text.data(), text.size());
            if (length < 0) {
                if (errno == EINVAL)
                    return NameHolds::Other;
                if (errno == ENOENT)
                    return NameHolds::Nothing;
                throw FileSystemError(errno, folder.PathOf(name));
            }
            if (static_cast<std::size_t>(length) < text.size()) {
                text.resize(static_cast<std::size_t>(length));
                target = std::move(text);
                return NameHolds::Link;
            }
            text.resize(text.size() * 2);
        }
    }

    void CreateLink(const Folder& folder, std::string_view name, const std::string& target,
                    bool) override {
        CName cname(name);
        if (cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, folder.PathOf(name));
        if (::symlinkat(target.c_str(), Fd(folder), cname.c_str()) != 0)
            throw FileSystemError(errno, folder.PathOf(name));
    }

    void InstallLink(const Folder& folder, std::string_view from, const Folder& to,
                     std::string_view name, bool replace) override {
        CName cfrom(from);
        CName cname(name);
        if (cfrom.TooLong() || cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, to.PathOf(name));
        int result = replace ? ::renameat(Fd(folder), cfrom.c_str(), Fd(to), cname.c_str())
                             : ::renameat2(Fd(folder), cfrom.c_str(), Fd(to), cname.c_str(),
                                           RENAME_NOREPLACE);
        if (result != 0)
            throw FileSystemError(errno, to.PathOf(name));
    }

    bool RemoveLink(const Folder& folder, std::string_view name) override {
        CName cname(name);
        struct stat status;
        return !cname.TooLong() &&
               ::fstatat(Fd(folder), cname.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISLNK(status.st_mode) && ::unlinkat(Fd(folder), cname.c_str(), 0) == 0;
    }

    void SyncToStorage(const Folder& folder) override {
        if (::syncfs(Fd(folder)) != 0)
            throw FileSystemError(errno, folder.Path());
    }

    std::string FileSystemIdentity(const Folder& folder) override {
        struct stat status;
        struct statfs fileSystem;
        if (::fstat(Fd(folder), &status) != 0 || ::fstatfs(Fd(folder), &fileSystem) != 0)
            return {};
        return IdentityOf(status.st_dev, fileSystem);
    }

    NameCase NamesCase(const Folder& folder) override {
        struct statfs fileSystem;
        if (::fstatfs(Fd(folder), &fileSystem) != 0 || !IsNativeFileSystem(fileSystem.f_type))
            return NameCase::Unknown;
        // ext4 folds the names of folders marked for it.
        int flags = 0;
        if (::ioctl(Fd(folder), FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL))
            return NameCase::Folded;
        return NameCase::Exact;
    }

    bool KeepsExactTimes(const Folder& folder) override {
        struct statfs fileSystem;
        return ::fstatfs(Fd(folder), &fileSystem) == 0 && IsNativeFileSystem(fileSystem.f_type);
    }

    std::size_t RaiseOpenHandleLimit() override {
        struct rlimit limit;
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
            return 0;
        if (limit.rlim_cur != limit.rlim_max) {
            rlim_t hard = limit.rlim_max;
            limit.rlim_cur = hard;
            // An unlimited hard limit is still capped by the kernel's own (fs.nr_open).
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 && hard == RLIM_INFINITY) {
                limit.rlim_cur = 1 << 20;
                ::setrlimit(RLIMIT_NOFILE, &limit);
            }
            ::getrlimit(RLIMIT_NOFILE, &limit);
        }
        return limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<std::size_t>(limit.rlim_cur);
    }

protected:
    void CloseFolder(std::intptr_t handle) noexcept override { ::close(static_cast<int>(handle)); }
    void CloseFile(File& file) noexcept override { ::close(Fd(file)); }

private:
    // Locks a named temporary just made, which says "in use" to RemoveUnusedFile, in this
    // process and in any other, and goes with the descriptor however the process ends. A
    // clean-up may have removed the file between its creation and the lock, or hold the lock
    // to remove it: then the temporary is gone (ENOENT) and the caller makes another. Where a
    // file system takes no locks, RemoveUnusedFile cannot lock either and removes nothing.
    static void ClaimTemporary(File& file, const Folder& folder, const CName& name) {
        struct stat open;
        struct stat named;
        if (::flock(Fd(file), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                throw FileSystemError(ENOENT, file.Path());
            return;
        }
        if (::fstat(Fd(file), &open) != 0 ||
            ::fstatat(Fd(folder), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            open.st_dev != named.st_dev || open.st_ino != named.st_ino) {
            StateOf(file)->name.clear();  // not ours to remove any more
            throw FileSystemError(ENOENT, file.Path());
        }
    }

    // Opens the folder `name` in `parent` unless a link stands there (ELOOP).
    static int OpenFolderNoFollow(const Folder& parent, const CName& name) {
        int fd =
            ::openat(Fd(parent), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
            return fd;
        int code = errno;
        // Linux says "not a directory" for a link refused this way.
        struct stat status;
        if (code == ENOTDIR &&
            ::fstatat(Fd(parent), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(status.st_mode))
            code = ELOOP;
        throw FileSystemError(code, parent.PathOf(std::string_view(name.c_str())));
    }

    // Links a temporary without a name in as `name`, then closes it.
    void LinkIn(File& temporary, const Folder& to, const CName& name) {
        char self[32];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", Fd(temporary));
        if (::linkat(AT_FDCWD, self, Fd(to), name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            // Without /proc a descriptor cannot be linked: the caller names its temporaries.
            throw FileSystemError(errno == ENOENT ? EOPNOTSUPP : errno, temporary.Path());
        }
        int fd = Fd(temporary);
        temporary.Release();
        if (::close(fd) != 0) {
            int code = errno;
            ::unlinkat(Fd(to), name.c_str(), 0);
            throw FileSystemError(code, temporary.Path());
        }
    }

    // Wraps an open folder. `exact` are the permission bits of a folder just made, which it
    // gets past the process's default mask. A folder on another device than `parentDevice`
    // is asked for its file system's type.
    Folder Adopt(int fd, std::string path, const std::uint32_t* exact = nullptr,
                 std::uint64_t parentDevice = kNoCheck) {
        struct stat status;
        int code = ::fstat(fd, &status) != 0 ? errno : 0;
        if (code == 0 && exact && (status.st_mode & 07777) != (*exact & 07777)) {
            if (::fchmod(fd, *exact & 07777) != 0)
                code = errno;
            status.st_mode = (status.st_mode & ~07777u) | (*exact & 07777);
        }
        if (code != 0) {
            ::close(fd);
            throw FileSystemError(code, path);
        }
        auto device = static_cast<std::uint64_t>(status.st_dev);
        bool pseudo = parentDevice != kNoCheck && device != parentDevice &&
                      OnPseudoFileSystem(fd, status.st_dev);
        return Folder(*this, fd, std::move(path),
                      {device, static_cast<std::uint64_t>(status.st_ino)}, status.st_mode & 07777,
                      pseudo);
    }

    static bool MadeFolder(int result, const std::string& path) {
        if (result == 0)
            return true;
        if (errno != EEXIST)
            throw FileSystemError(errno, path);
        return false;
    }

    // Adds a listed entry by what it is; a link is listed as a link, whatever it leads to.
    static void AddEntry(int folderFd, const dirent64& entry, FolderListing& listing) {
        const char* raw = entry.d_name;
        if (raw[0] == '.' && (raw[1] == '\0' || (raw[1] == '.' && raw[2] == '\0')))
            return;
        std::string_view name(raw);
        unsigned char type = entry.d_type;
        struct stat status;
        if (type == DT_UNKNOWN) {
            if (::fstatat(folderFd, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                return;
            type = S_ISLNK(status.st_mode)   ? DT_LNK
                   : S_ISREG(status.st_mode) ? DT_REG
                   : S_ISDIR(status.st_mode) ? DT_DIR
                                             : DT_UNKNOWN;
        }
        if (type == DT_LNK)
            listing.Add(name, FolderListing::Kind::Link);
        else if (type == DT_DIR)
            listing.Add(name, FolderListing::Kind::SubFolder);
        else if (type == DT_REG)
            listing.Add(name, FolderListing::Kind::File);
    }
};

}  // namespace

FileSystem& PlatformFileSystem() {
    static PosixFileSystem fileSystem;
    return fileSystem;
}

}  // namespace FileSync
