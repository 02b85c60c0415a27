// The file-system layer over POSIX (Linux): everything below an open folder is reached with
// the *at() calls relative to its descriptor, folders are listed with getdents64, and file data
// is copied in the kernel with copy_file_range, or with read/write where that is not possible.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "FileSystem.h"

namespace FileSync {
namespace {

// Temporaries are named "<prefix><pid>-<sequence>", so a later run can tell whether the
// process that wrote one is gone.
constexpr std::string_view kTemporaryPrefix = ".tavrick-partial-";
// The folder in a destination's top that holds the temporaries of its replacing copies. It is
// named like a temporary, so it is easy to tell apart, but holds no process id, so it is none.
constexpr std::string_view kTemporaryArea = ".tavrick-partial-copies";
constexpr std::size_t kCopyBufferSize = 1 << 20;
constexpr std::size_t kListBufferSize = 64 * 1024;

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

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now and reports whether the close succeeded (writes can fail only here).
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

int Fd(const Folder& folder) {
    return static_cast<int>(folder.Handle());
}

bool ParsePid(std::string_view text, pid_t& pid) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
    return error == std::errc() && end == text.data() + text.size() && pid > 0;
}

// The process id in an engine temporary's name; false when the name is not one.
bool TemporaryOwner(std::string_view name, pid_t& owner) {
    if (!name.starts_with(kTemporaryPrefix))
        return false;
    name.remove_prefix(kTemporaryPrefix.size());
    auto dash = name.find('-');
    if (dash == std::string_view::npos)
        return false;
    std::string_view sequence = name.substr(dash + 1);
    unsigned long long ignored = 0;
    auto [end, error] =
        std::from_chars(sequence.data(), sequence.data() + sequence.size(), ignored);
    if (error != std::errc() || end != sequence.data() + sequence.size())
        return false;
    return ParsePid(name.substr(0, dash), owner);
}

bool IsTemporaryOfDeadProcess(std::string_view name) {
    pid_t owner = 0;
    if (!TemporaryOwner(name, owner))
        return false;
    // Copies run synchronously, so while this process lists a folder none of its own are open.
    if (owner == ::getpid())
        return true;
    return ::kill(owner, 0) == -1 && errno == ESRCH;
}

char* CopyBuffer() {
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer)
        buffer = std::make_unique<char[]>(kCopyBufferSize);
    return buffer.get();
}

// Where a data copy failed: reading the source or writing the target.
enum class CopySide { Source, Target };

struct CopyFailure {
    int code;
    CopySide side;
};

bool CopyWithReadWrite(int in, int out, std::uint64_t& copied, CopyFailure& failure) {
    char* buffer = CopyBuffer();
    for (;;) {
        ssize_t got = ::read(in, buffer, kCopyBufferSize);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            failure = {errno, CopySide::Source};
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                failure = {errno, CopySide::Target};
                return false;
            }
            done += put;
        }
        copied += static_cast<std::uint64_t>(got);
    }
}

bool CopyData(int in, int out, std::uint64_t expectedSize, std::uint64_t& copied,
              CopyFailure& failure) {
    for (;;) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
        if (n > 0) {
            copied += static_cast<std::uint64_t>(n);
            // All the size the source had when opened: spare the call that would find the end.
            if (expectedSize > 0 && copied >= expectedSize)
                return true;
            continue;
        }
        if (n == 0) {
            // Some file systems report end of file early here; read on to be sure.
            if (copied < expectedSize)
                return CopyWithReadWrite(in, out, copied, failure);
            return true;
        }
        if (errno == EINTR)
            continue;
        bool unsupported = errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                           errno == EOPNOTSUPP || errno == EPERM || errno == ETXTBSY;
        if (copied == 0 && unsupported)
            return CopyWithReadWrite(in, out, copied, failure);
        failure = {errno, CopySide::Target};
        return false;
    }
}

class PosixFileSystem final : public FileSystem {
public:
    Folder GetFolder(const std::string& path) override {
        if (path.empty())
            throw FileSystemError(ENOENT, path);
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            throw FileSystemError(errno, path);
        return Adopt(fd, path);
    }

    Folder GetSubFolder(const Folder& parent, std::string_view name) override {
        CName cname(name);
        if (cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, parent.PathOf(name));
        int fd = ::openat(Fd(parent), cname.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            throw FileSystemError(errno, parent.PathOf(name));
        return Adopt(fd, parent.PathOf(name));
    }

    void List(const Folder& folder, FolderListing& listing) override {
        listing.Clear();
        int fd = Fd(folder);
        // A folder is read from its start when freshly opened; only a second listing rewinds.
        if (folder.MarkListed() && ::lseek(fd, 0, SEEK_SET) < 0)
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

    bool GetFile(const Folder& folder, std::string_view name, FileFacts& facts) override {
        CName cname(name);
        struct stat status;
        if (cname.TooLong() || ::fstatat(Fd(folder), cname.c_str(), &status, 0) != 0 ||
            !S_ISREG(status.st_mode))
            return false;
        facts.modifiedSeconds = status.st_mtim.tv_sec;
        facts.modifiedNanoseconds = static_cast<std::uint32_t>(status.st_mtim.tv_nsec);
        facts.size = static_cast<std::uint64_t>(status.st_size);
        facts.attributes = status.st_mode & 07777;
        return true;
    }

    std::uint64_t CopyFile(const Folder& from, const Folder& to, std::string_view name,
                           const Folder* areaOwner) override {
        CName cname(name);
        struct stat status;
        Descriptor in(OpenSource(from, name, cname, status));
        return CopyThroughTemporary(in.get(), status, from, to, name, cname, areaOwner);
    }

    std::uint64_t CopyNewFile(const Folder& from, const Folder& to, std::string_view name,
                              const Folder* areaOwner) override {
        CName cname(name);
        struct stat status;
        Descriptor in(OpenSource(from, name, cname, status));
        // A file without a name in the target folder: a killed run leaves nothing behind.
        Descriptor out(::openat(Fd(to), ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600));
        if (out.get() < 0)  // not supported here; the named way says what else went wrong
            return CopyThroughTemporary(in.get(), status, from, to, name, cname, areaOwner);
        std::uint64_t copied = 0;
        CopyFailure failure{0, CopySide::Target};
        if (!CopyContents(in.get(), out.get(), status, copied, failure))
            throw FileSystemError(failure.code, failure.side == CopySide::Source ? from.PathOf(name)
                                                                                 : to.PathOf(name));
        char self[32];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", out.get());
        if (::linkat(AT_FDCWD, self, Fd(to), cname.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            if (out.Close())
                return copied;
            int code = errno;
            ::unlinkat(Fd(to), cname.c_str(), 0);
            throw FileSystemError(code, to.PathOf(name));
        }
        // Something has taken the name since the comparison, or links by descriptor are not
        // possible here: the named way replaces what may be replaced and fails on the rest.
        if (::lseek(in.get(), 0, SEEK_SET) != 0)
            throw FileSystemError(errno, from.PathOf(name));
        return CopyThroughTemporary(in.get(), status, from, to, name, cname, areaOwner);
    }

    Folder CreateFolder(const std::string& path, bool& created) override {
        if (path.empty())
            throw FileSystemError(ENOENT, path);
        created = MadeFolder(::mkdir(path.c_str(), 0700), path);
        return GetFolder(path);
    }

    Folder CreateSubFolder(const Folder& parent, std::string_view name, bool& created) override {
        CName cname(name);
        if (cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, parent.PathOf(name));
        created = MadeFolder(::mkdirat(Fd(parent), cname.c_str(), 0700), parent.PathOf(name));
        return GetSubFolder(parent, name);
    }

    void SetFolderAttributes(const Folder& folder, std::uint32_t attributes) override {
        if (::fchmod(Fd(folder), attributes & 07777) != 0)
            throw FileSystemError(errno, folder.Path());
    }

    void RemoveStaleTemporaries(const Folder& folder, const FolderListing& listing) override {
        for (const auto& entry : listing.Entries()) {
            if (entry.kind != FolderListing::Kind::EngineTemporary)
                continue;
            std::string_view name = listing.Name(entry);
            if (IsTemporaryOfDeadProcess(name))
                ::unlinkat(Fd(folder), CName(name).c_str(), 0);
        }
    }

    void ClearTemporaryArea(const Folder& owner) override {
        int fd = ::openat(Fd(owner), kTemporaryArea.data(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
                return;  // no area, or something of the user's by that name
            throw FileSystemError(errno, owner.PathOf(kTemporaryArea));
        }
        {
            Folder area = Adopt(fd, owner.PathOf(kTemporaryArea));
            FolderListing listing;
            List(area, listing);
            RemoveStaleTemporaries(area, listing);
        }
        // Fails, as it should, while a live copy's temporary is in there.
        ::unlinkat(Fd(owner), kTemporaryArea.data(), AT_REMOVEDIR);
    }

    void SyncToStorage(const Folder& folder) override {
        if (::syncfs(Fd(folder)) != 0)
            throw FileSystemError(errno, folder.Path());
    }

protected:
    void CloseFolder(std::intptr_t handle) noexcept override { ::close(static_cast<int>(handle)); }

private:
    // Opens the source of a copy and reads its facts. Non-blocking, so a FIFO put in place of a
    // file since the listing cannot hang the run.
    static int OpenSource(const Folder& from, std::string_view name, const CName& cname,
                          struct stat& status) {
        if (cname.TooLong())
            throw FileSystemError(ENAMETOOLONG, from.PathOf(name));
        int fd = ::openat(Fd(from), cname.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            throw FileSystemError(errno, from.PathOf(name));
        int code = ::fstat(fd, &status) != 0 ? errno : S_ISREG(status.st_mode) ? 0 : EINVAL;
        if (code != 0) {
            ::close(fd);
            throw FileSystemError(code, from.PathOf(name));
        }
        return fd;
    }

    // The data, the permission bits and the times of the source, into `out`.
    static bool CopyContents(int in, int out, const struct stat& status, std::uint64_t& copied,
                             CopyFailure& failure) {
        if (!CopyData(in, out, static_cast<std::uint64_t>(status.st_size), copied, failure))
            return false;
        const struct timespec times[2] = {status.st_atim, status.st_mtim};
        if (::fchmod(out, status.st_mode & 07777) != 0 || ::futimens(out, times) != 0) {
            failure = {errno, CopySide::Target};
            return false;
        }
        return true;
    }

    // Writes the copy under a temporary name in the temporary area of `areaOwner` and renames it
    // over the target. Falls back to a temporary in `to` where the area takes none or the
    // rename cannot cross from it.
    static std::uint64_t CopyThroughTemporary(int in, const struct stat& status, const Folder& from,
                                              const Folder& to, std::string_view name,
                                              const CName& cname, const Folder* areaOwner) {
        static std::atomic<unsigned long long> sequence{0};
        char temporary[kTemporaryArea.size() + kTemporaryPrefix.size() + 48];
        int folder = areaOwner ? Fd(*areaOwner) : Fd(to);
        std::snprintf(temporary, sizeof temporary, "%s%s%.*s%d-%llu",
                      areaOwner ? kTemporaryArea.data() : "", areaOwner ? "/" : "",
                      static_cast<int>(kTemporaryPrefix.size()), kTemporaryPrefix.data(),
                      static_cast<int>(::getpid()), sequence.fetch_add(1));
        // Owner-writable while being written, whatever the source's bits; fchmod sets them last.
        auto create = [&] {
            return ::openat(folder, temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        };
        int fd = create();
        // The area is made by the first copy that needs it.
        if (fd < 0 && errno == ENOENT && areaOwner &&
            (::mkdirat(folder, kTemporaryArea.data(), 0700) == 0 || errno == EEXIST))
            fd = create();
        Descriptor out(fd);
        if (out.get() < 0) {
            if (areaOwner)
                return CopyThroughTemporary(in, status, from, to, name, cname, nullptr);
            throw FileSystemError(errno, to.PathOf(name));
        }

        std::uint64_t copied = 0;
        CopyFailure failure{0, CopySide::Target};
        bool written = CopyContents(in, out.get(), status, copied, failure);
        if (!out.Close() && written)
            failure = {errno, CopySide::Target}, written = false;
        if (written && ::renameat(folder, temporary, Fd(to), cname.c_str()) != 0) {
            if (errno == EXDEV && areaOwner) {  // another mount of the same file system
                ::unlinkat(folder, temporary, 0);
                if (::lseek(in, 0, SEEK_SET) != 0)
                    throw FileSystemError(errno, from.PathOf(name));
                return CopyThroughTemporary(in, status, from, to, name, cname, nullptr);
            }
            failure = {errno, CopySide::Target}, written = false;
        }
        if (!written) {
            ::unlinkat(folder, temporary, 0);
            throw FileSystemError(failure.code, failure.side == CopySide::Source ? from.PathOf(name)
                                                                                 : to.PathOf(name));
        }
        return copied;
    }

    Folder Adopt(int fd, std::string path) {
        struct stat status;
        if (::fstat(fd, &status) != 0) {
            int code = errno;
            ::close(fd);
            throw FileSystemError(code, path);
        }
        return Folder(
            *this, fd, std::move(path),
            {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)},
            status.st_mode & 07777);
    }

    static bool MadeFolder(int result, const std::string& path) {
        if (result == 0)
            return true;
        if (errno != EEXIST)
            throw FileSystemError(errno, path);
        return false;
    }

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
        bool isLink = type == DT_LNK;
        if (isLink) {
            // Links count as what they point to; a dangling link is neither file nor folder.
            if (::fstatat(folderFd, entry.d_name, &status, 0) != 0)
                return;
            type = S_ISREG(status.st_mode) ? DT_REG : S_ISDIR(status.st_mode) ? DT_DIR : DT_UNKNOWN;
        }
        pid_t owner = 0;
        if (type == DT_DIR)
            listing.Add(name, FolderListing::Kind::SubFolder);
        else if (type == DT_REG && !isLink && raw[0] == '.' && TemporaryOwner(name, owner))
            listing.Add(name, FolderListing::Kind::EngineTemporary);
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
