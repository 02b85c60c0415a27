// SPDX-License-Identifier: GPL-3.0-or-later
// A pass-through FUSE file system for what the disks users back up to do and the machine's own
// file systems do not: it serves a backing folder and, switch by switch, behaves like a FAT or
// exFAT stick, a case-folding share, a full disk or a failing one, or a slow network share.
//
//   tavrick-test-fs [switches] BACKING MOUNTPOINT
//
//   --delay-us N          every metadata request answers N microseconds late (default 0),
//                         as a network share does once its cached attributes have expired
//   --fold-case           names equal but for ASCII letter case name the same entry
//   --two-second-times    modification and access times are kept in steps of two seconds,
//                         rounded down (with --round-up: up), as FAT keeps them
//   --reset-times-on-close  a file opened for writing gets the time "now" when it is closed
//   --no-hard-links       link() fails with EPERM
//   --no-locks            flock() fails with ENOLCK
//   --space-bytes N       writes fail with ENOSPC once N bytes have been written in all
//   --fail-path PATH      every request on PATH (as seen in the mount, "/a/b") fails with EIO
//   --lifetime SECONDS    ends by itself after that long (default 3600)
//
// Files without a name (O_TMPFILE) are never offered: FUSE passes no such request here.
//
// Serves in the foreground with many threads, so requests from a parallel walk wait side by
// side as they would on a network. Entry, attribute and negative caching are off: every
// lookup, getattr, readdir, open, create, rename, setattr and the other name and attribute
// requests reach this process; reading and writing data are not delayed. It ends by itself
// after --lifetime seconds or when its parent dies, unmounting on the way out like on SIGTERM,
// and prints how many requests it delayed.
#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <strings.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

// The switches, set once before serving starts.
struct Switches {
    long delayNanoseconds = 0;
    bool foldCase = false;
    bool twoSecondTimes = false;
    bool roundUp = false;
    bool resetTimesOnClose = false;
    bool noHardLinks = false;
    bool noLocks = false;
    long long spaceBytes = -1;  // no limit
    std::string failPath;
};

Switches switches;
int backing = -1;
std::atomic<std::uint64_t> delayedRequests{0};
std::atomic<long long> bytesWritten{0};

// The round trip of one metadata request.
void Delay() {
    if (switches.delayNanoseconds == 0)
        return;
    ++delayedRequests;
    struct timespec wait = {0, switches.delayNanoseconds};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &wait, &wait) == EINTR) {
    }
}

// Starts a request on `path`: its delay, and the failure asked for on that path (0: none).
int Begin(const char* path) {
    Delay();
    return !switches.failPath.empty() && switches.failPath == path ? -EIO : 0;
}

// The entry of `folder` (a path relative to the backing folder) whose name equals `name` but
// for ASCII case, or `name` itself when there is none.
std::string FoldedEntry(const std::string& folder, const std::string& name) {
    struct stat status;
    std::string exact = folder.empty() ? name : folder + "/" + name;
    if (fstatat(backing, exact.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
        return name;
    int fd =
        openat(backing, folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = fd < 0 ? nullptr : fdopendir(fd);
    if (!listing) {
        if (fd >= 0)
            close(fd);
        return name;
    }
    std::string found = name;
    while (struct dirent* entry = readdir(listing)) {
        if (strcasecmp(entry->d_name, name.c_str()) == 0) {
            found = entry->d_name;
            break;
        }
    }
    closedir(listing);
    return found;
}

// Paths come as "/a/b"; the backing folder takes them relative to its descriptor. With
// --fold-case each part is matched against the names the folder holds, ignoring case.
std::string Backing(const char* path) {
    if (!path[1])
        return ".";
    if (!switches.foldCase)
        return path + 1;
    std::string resolved;
    const char* part = path + 1;
    while (*part) {
        const char* end = std::strchr(part, '/');
        std::string name = end ? std::string(part, end) : std::string(part);
        std::string entry = FoldedEntry(resolved, name);
        resolved += (resolved.empty() ? "" : "/") + entry;
        part = end ? end + 1 : part + name.size();
    }
    return resolved;
}

int Result(int status) {
    return status == 0 ? 0 : -errno;
}

// A time as FAT keeps it: in steps of two seconds.
void KeepTwoSecondSteps(struct timespec& time) {
    bool between = (time.tv_sec & 1) != 0 || time.tv_nsec != 0;
    time.tv_sec &= ~static_cast<time_t>(1);
    time.tv_nsec = 0;
    if (between && switches.roundUp)
        time.tv_sec += 2;
}

int GetAttributes(const char* path, struct stat* status, struct fuse_file_info* file) {
    if (int refused = Begin(path))
        return refused;
    int result = file
                     ? Result(fstat(static_cast<int>(file->fh), status))
                     : Result(fstatat(backing, Backing(path).c_str(), status, AT_SYMLINK_NOFOLLOW));
    if (result == 0 && switches.twoSecondTimes) {
        KeepTwoSecondSteps(status->st_mtim);
        KeepTwoSecondSteps(status->st_atim);
    }
    return result;
}

int ReadLink(const char* path, char* buffer, size_t size) {
    if (int refused = Begin(path))
        return refused;
    ssize_t length = readlinkat(backing, Backing(path).c_str(), buffer, size - 1);
    if (length < 0)
        return -errno;
    buffer[length] = 0;
    return 0;
}

int MakeFolder(const char* path, mode_t mode) {
    if (int refused = Begin(path))
        return refused;
    return Result(mkdirat(backing, Backing(path).c_str(), mode));
}

int Unlink(const char* path) {
    if (int refused = Begin(path))
        return refused;
    return Result(unlinkat(backing, Backing(path).c_str(), 0));
}

int RemoveFolder(const char* path) {
    if (int refused = Begin(path))
        return refused;
    return Result(unlinkat(backing, Backing(path).c_str(), AT_REMOVEDIR));
}

int SymbolicLink(const char* target, const char* path) {
    if (int refused = Begin(path))
        return refused;
    return Result(symlinkat(target, backing, Backing(path).c_str()));
}

int Rename(const char* from, const char* to, unsigned int flags) {
    int refused = Begin(from);
    if (refused == 0 && switches.failPath == to)
        refused = -EIO;
    if (refused)
        return refused;
    return Result(renameat2(backing, Backing(from).c_str(), backing, Backing(to).c_str(), flags));
}

int Link(const char* from, const char* to) {
    if (int refused = Begin(to))
        return refused;
    if (switches.noHardLinks)
        return -EPERM;
    return Result(linkat(backing, Backing(from).c_str(), backing, Backing(to).c_str(), 0));
}

int ChangeMode(const char* path, mode_t mode, struct fuse_file_info* file) {
    if (int refused = Begin(path))
        return refused;
    if (file)
        return Result(fchmod(static_cast<int>(file->fh), mode));
    return Result(fchmodat(backing, Backing(path).c_str(), mode, 0));
}

int ChangeOwner(const char* path, uid_t user, gid_t group, struct fuse_file_info* file) {
    if (int refused = Begin(path))
        return refused;
    if (file)
        return Result(fchown(static_cast<int>(file->fh), user, group));
    return Result(fchownat(backing, Backing(path).c_str(), user, group, AT_SYMLINK_NOFOLLOW));
}

int Truncate(const char* path, off_t size, struct fuse_file_info* file) {
    if (int refused = Begin(path))
        return refused;
    if (file)
        return Result(ftruncate(static_cast<int>(file->fh), size));
    int fd = openat(backing, Backing(path).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    int status = Result(ftruncate(fd, size));
    close(fd);
    return status;
}

int SetTimes(const char* path, const struct timespec times[2], struct fuse_file_info* file) {
    if (int refused = Begin(path))
        return refused;
    if (file)
        return Result(futimens(static_cast<int>(file->fh), times));
    return Result(utimensat(backing, Backing(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

int Open(const char* path, struct fuse_file_info* file) {
    if (int refused = Begin(path))
        return refused;
    int fd = openat(backing, Backing(path).c_str(), (file->flags & ~O_NOFOLLOW) | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    file->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int Create(const char* path, mode_t mode, struct fuse_file_info* file) {
    if (int refused = Begin(path))
        return refused;
    int fd = openat(backing, Backing(path).c_str(), file->flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0)
        return -errno;
    file->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int Read(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info* file) {
    if (!switches.failPath.empty() && switches.failPath == path)
        return -EIO;
    ssize_t got = pread(static_cast<int>(file->fh), buffer, size, offset);
    return got < 0 ? -errno : static_cast<int>(got);
}

int Write(const char* path, const char* buffer, size_t size, off_t offset,
          struct fuse_file_info* file) {
    if (!switches.failPath.empty() && switches.failPath == path)
        return -EIO;
    long long size64 = static_cast<long long>(size);
    if (switches.spaceBytes >= 0 && bytesWritten.fetch_add(size64) + size64 > switches.spaceBytes) {
        bytesWritten -= size64;
        return -ENOSPC;
    }
    ssize_t put = pwrite(static_cast<int>(file->fh), buffer, size, offset);
    return put < 0 ? -errno : static_cast<int>(put);
}

int StatFileSystem(const char*, struct statvfs* status) {
    return Result(fstatvfs(backing, status));
}

// A file written through this handle gets the time of its close, whatever it was given. The
// kernel waits for a flush at every close, not for the release that follows it, so the time is
// reset there: a caller that looks after its close already sees it.
int Flush(const char*, struct fuse_file_info* file) {
    // The call's own flags are only those of an open; the handle knows how it was opened.
    const int fd = static_cast<int>(file->fh);
    if (switches.resetTimesOnClose && (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY)
        futimens(fd, nullptr);
    return 0;
}

int Release(const char*, struct fuse_file_info* file) {
    close(static_cast<int>(file->fh));
    return 0;
}

int SyncFile(const char*, int dataOnly, struct fuse_file_info* file) {
    int fd = static_cast<int>(file->fh);
    return Result(dataOnly ? fdatasync(fd) : fsync(fd));
}

int Lock(const char*, struct fuse_file_info*, int) {
    return -ENOLCK;
}

// FUSE keeps a file's handle as a number; an open folder keeps its DIR pointer in it.
DIR* FolderOf(const struct fuse_file_info* file) {
    return reinterpret_cast<DIR*>(  // NOLINT(performance-no-int-to-ptr)
        static_cast<std::uintptr_t>(file->fh));
}

int OpenFolder(const char* path, struct fuse_file_info* file) {
    if (int refused = Begin(path))
        return refused;
    int fd = openat(backing, Backing(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    DIR* folder = fdopendir(fd);
    if (!folder) {
        int code = errno;
        close(fd);
        return -code;
    }
    file->fh = reinterpret_cast<std::uintptr_t>(folder);
    return 0;
}

// Hands the whole listing over at once; the library keeps it for the kernel's later reads.
int ReadFolder(const char* path, void* buffer, fuse_fill_dir_t fill, off_t,
               struct fuse_file_info* file, enum fuse_readdir_flags) {
    if (int refused = Begin(path))
        return refused;
    DIR* folder = FolderOf(file);
    rewinddir(folder);
    while (struct dirent* entry = readdir(folder)) {
        struct stat status {};
        status.st_ino = entry->d_ino;
        status.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &status, 0, static_cast<fuse_fill_dir_flags>(0)))
            break;
    }
    return 0;
}

int ReleaseFolder(const char*, struct fuse_file_info* file) {
    closedir(FolderOf(file));
    return 0;
}

void* Init(struct fuse_conn_info*, struct fuse_config* config) {
    config->use_ino = 1;  // the backing inode numbers, so folder identities hold
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->hard_remove = 1;
    return nullptr;
}

struct fuse_operations Operations() {
    struct fuse_operations operations {};
    operations.getattr = GetAttributes;
    operations.readlink = ReadLink;
    operations.mkdir = MakeFolder;
    operations.unlink = Unlink;
    operations.rmdir = RemoveFolder;
    operations.symlink = SymbolicLink;
    operations.rename = Rename;
    operations.link = Link;
    operations.chmod = ChangeMode;
    operations.chown = ChangeOwner;
    operations.truncate = Truncate;
    operations.open = Open;
    operations.read = Read;
    operations.write = Write;
    operations.statfs = StatFileSystem;
    operations.flush = Flush;
    operations.release = Release;
    operations.fsync = SyncFile;
    operations.opendir = OpenFolder;
    operations.readdir = ReadFolder;
    operations.releasedir = ReleaseFolder;
    operations.init = Init;
    operations.create = Create;
    operations.utimens = SetTimes;
    // Without a handler the kernel keeps flock() locks itself; with this one they fail.
    if (switches.noLocks)
        operations.flock = Lock;
    return operations;
}

// Ends the process the way Ctrl-C does once its time is up, so the mount is taken down.
void EndAfter(unsigned seconds) {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::fprintf(stderr, "tavrick-test-fs: lifetime of %u s is over\n", seconds);
    kill(getpid(), SIGTERM);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: tavrick-test-fs [--delay-us N] [--fold-case] [--two-second-times "
                 "[--round-up]] [--reset-times-on-close] [--no-hard-links] [--no-locks] "
                 "[--space-bytes N] [--fail-path PATH] [--lifetime SECONDS] BACKING "
                 "MOUNTPOINT\n");
    return 2;
}

// Reads the switch at argv[i] (and its value); false for one it does not know.
bool ReadSwitch(int argc, char** argv, int& i, unsigned& lifetime) {
    const char* name = argv[i];
    const bool hasValue = i + 1 < argc;
    auto is = [name](const char* known) { return std::strcmp(name, known) == 0; };
    if (is("--delay-us") && hasValue)
        switches.delayNanoseconds = std::strtol(argv[++i], nullptr, 10) * 1000;
    else if (is("--lifetime") && hasValue)
        lifetime = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    else if (is("--space-bytes") && hasValue)
        switches.spaceBytes = std::strtoll(argv[++i], nullptr, 10);
    else if (is("--fail-path") && hasValue)
        switches.failPath = argv[++i];
    else if (is("--fold-case"))
        switches.foldCase = true;
    else if (is("--two-second-times"))
        switches.twoSecondTimes = true;
    else if (is("--round-up"))
        switches.roundUp = true;
    else if (is("--reset-times-on-close"))
        switches.resetTimesOnClose = true;
    else if (is("--no-hard-links"))
        switches.noHardLinks = true;
    else if (is("--no-locks"))
        switches.noLocks = true;
    else
        return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned lifetime = 3600;
    const char* paths[2] = {nullptr, nullptr};
    int pathCount = 0;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') {
            if (!ReadSwitch(argc, argv, i, lifetime))
                return Usage();
        } else if (pathCount == 2) {
            return Usage();
        } else {
            paths[pathCount++] = argv[i];
        }
    }
    long delay = switches.delayNanoseconds;
    if (pathCount != 2 || delay < 0 || delay >= 1000000000 || lifetime == 0)
        return Usage();
    backing = open(paths[0], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (backing < 0) {
        std::fprintf(stderr, "tavrick-test-fs: %s: %s\n", paths[0], std::strerror(errno));
        return 1;
    }
    // Sleeps end on time rather than up to 50 µs late; the serving threads inherit this.
    prctl(PR_SET_TIMERSLACK, 1UL);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1)
        return 1;  // the parent is already gone

    // The timer thread must not take the signals that end the serving loop.
    sigset_t ending, previous;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &ending, &previous);
    std::thread(EndAfter, lifetime).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    std::string mountpoint = paths[1];
    char program[] = "tavrick-test-fs";
    char foreground[] = "-f";
    char option[] = "-o";
    char settings[] = "max_threads=128,max_idle_threads=128,fsname=tavrick-test";
    char* fuseArguments[] = {program, mountpoint.data(), foreground, option, settings, nullptr};
    struct fuse_operations operations = Operations();
    int status = fuse_main(5, fuseArguments, &operations, nullptr);
    if (switches.delayNanoseconds > 0)
        std::fprintf(stderr, "tavrick-test-fs: %llu requests delayed\n",
                     static_cast<unsigned long long>(delayedRequests.load()));
    close(backing);
    return status;
}
