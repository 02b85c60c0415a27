// A pass-through FUSE file system that answers every metadata request 0.5 ms late, as a
// network share does once its cached attributes have expired.
//
//   tavrick-latency-fs [--delay-us N] [--lifetime SECONDS] BACKING MOUNTPOINT
//
// Serves BACKING at MOUNTPOINT in the foreground with many threads, so requests from a
// parallel walk wait side by side as they would on a network. Entry, attribute and negative
// caching are off: every lookup, getattr, readdir, open, create, rename, setattr and the other
// name and attribute requests reach this process and sleep the delay; reading and writing data
// do not. It ends by itself after --lifetime seconds (default 3600) or when its parent dies,
// unmounting on the way out like on SIGTERM, and prints how many requests it delayed.
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

int backing = -1;
long delayNanoseconds = 500000;
std::atomic<std::uint64_t> delayedRequests{0};

// The round trip of one metadata request.
void Delay() {
    ++delayedRequests;
    struct timespec wait = {0, delayNanoseconds};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &wait, &wait) == EINTR) {
    }
}

// Paths come as "/a/b"; the backing folder takes them relative to its descriptor.
const char* Relative(const char* path) {
    return path[1] ? path + 1 : ".";
}

int Result(int status) {
    return status == 0 ? 0 : -errno;
}

int GetAttributes(const char* path, struct stat* status, struct fuse_file_info* file) {
    Delay();
    if (file)
        return Result(fstat(static_cast<int>(file->fh), status));
    return Result(fstatat(backing, Relative(path), status, AT_SYMLINK_NOFOLLOW));
}

int ReadLink(const char* path, char* buffer, size_t size) {
    Delay();
    ssize_t length = readlinkat(backing, Relative(path), buffer, size - 1);
    if (length < 0)
        return -errno;
    buffer[length] = 0;
    return 0;
}

int MakeFolder(const char* path, mode_t mode) {
    Delay();
    return Result(mkdirat(backing, Relative(path), mode));
}

int Unlink(const char* path) {
    Delay();
    return Result(unlinkat(backing, Relative(path), 0));
}

int RemoveFolder(const char* path) {
    Delay();
    return Result(unlinkat(backing, Relative(path), AT_REMOVEDIR));
}

int SymbolicLink(const char* target, const char* path) {
    Delay();
    return Result(symlinkat(target, backing, Relative(path)));
}

int Rename(const char* from, const char* to, unsigned int flags) {
    Delay();
    return Result(renameat2(backing, Relative(from), backing, Relative(to), flags));
}

int Link(const char* from, const char* to) {
    Delay();
    return Result(linkat(backing, Relative(from), backing, Relative(to), 0));
}

int ChangeMode(const char* path, mode_t mode, struct fuse_file_info* file) {
    Delay();
    if (file)
        return Result(fchmod(static_cast<int>(file->fh), mode));
    return Result(fchmodat(backing, Relative(path), mode, 0));
}

int ChangeOwner(const char* path, uid_t user, gid_t group, struct fuse_file_info* file) {
    Delay();
    if (file)
        return Result(fchown(static_cast<int>(file->fh), user, group));
    return Result(fchownat(backing, Relative(path), user, group, AT_SYMLINK_NOFOLLOW));
}

int Truncate(const char* path, off_t size, struct fuse_file_info* file) {
    Delay();
    if (file)
        return Result(ftruncate(static_cast<int>(file->fh), size));
    int fd = openat(backing, Relative(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    int status = Result(ftruncate(fd, size));
    close(fd);
    return status;
}

int SetTimes(const char* path, const struct timespec times[2], struct fuse_file_info* file) {
    Delay();
    if (file)
        return Result(futimens(static_cast<int>(file->fh), times));
    return Result(utimensat(backing, Relative(path), times, AT_SYMLINK_NOFOLLOW));
}

int Open(const char* path, struct fuse_file_info* file) {
    Delay();
    int fd = openat(backing, Relative(path), (file->flags & ~O_NOFOLLOW) | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    file->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int Create(const char* path, mode_t mode, struct fuse_file_info* file) {
    Delay();
    int fd = openat(backing, Relative(path), file->flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0)
        return -errno;
    file->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, struct fuse_file_info* file) {
    ssize_t got = pread(static_cast<int>(file->fh), buffer, size, offset);
    return got < 0 ? -errno : static_cast<int>(got);
}

int Write(const char*, const char* buffer, size_t size, off_t offset, struct fuse_file_info* file) {
    ssize_t put = pwrite(static_cast<int>(file->fh), buffer, size, offset);
    return put < 0 ? -errno : static_cast<int>(put);
}

int StatFileSystem(const char*, struct statvfs* status) {
    return Result(fstatvfs(backing, status));
}

int Release(const char*, struct fuse_file_info* file) {
    close(static_cast<int>(file->fh));
    return 0;
}

int SyncFile(const char*, int dataOnly, struct fuse_file_info* file) {
    int fd = static_cast<int>(file->fh);
    return Result(dataOnly ? fdatasync(fd) : fsync(fd));
}

int OpenFolder(const char* path, struct fuse_file_info* file) {
    Delay();
    int fd = openat(backing, Relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
int ReadFolder(const char*, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info* file,
               enum fuse_readdir_flags) {
    Delay();
    DIR* folder = reinterpret_cast<DIR*>(static_cast<std::uintptr_t>(file->fh));
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
    closedir(reinterpret_cast<DIR*>(static_cast<std::uintptr_t>(file->fh)));
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
    operations.release = Release;
    operations.fsync = SyncFile;
    operations.opendir = OpenFolder;
    operations.readdir = ReadFolder;
    operations.releasedir = ReleaseFolder;
    operations.init = Init;
    operations.create = Create;
    operations.utimens = SetTimes;
    return operations;
}

// Ends the process the way Ctrl-C does once its time is up, so the mount is taken down.
void EndAfter(unsigned seconds) {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::fprintf(stderr, "tavrick-latency-fs: lifetime of %u s is over\n", seconds);
    kill(getpid(), SIGTERM);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: tavrick-latency-fs [--delay-us N] [--lifetime SECONDS] "
                 "BACKING MOUNTPOINT\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned lifetime = 3600;
    const char* paths[2] = {nullptr, nullptr};
    int pathCount = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--delay-us") == 0 && i + 1 < argc)
            delayNanoseconds = std::strtol(argv[++i], nullptr, 10) * 1000;
        else if (std::strcmp(argv[i], "--lifetime") == 0 && i + 1 < argc)
            lifetime = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (argv[i][0] == '-' || pathCount == 2)
            return Usage();
        else
            paths[pathCount++] = argv[i];
    }
    if (pathCount != 2 || delayNanoseconds < 0 || delayNanoseconds >= 1000000000 || lifetime == 0)
        return Usage();
    backing = open(paths[0], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (backing < 0) {
        std::fprintf(stderr, "tavrick-latency-fs: %s: %s\n", paths[0], std::strerror(errno));
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
    char program[] = "tavrick-latency-fs";
    char foreground[] = "-f";
    char option[] = "-o";
    char settings[] = "max_threads=128,max_idle_threads=128,fsname=tavrick-latency";
    char* fuseArguments[] = {program, mountpoint.data(), foreground, option, settings, nullptr};
    struct fuse_operations operations = Operations();
    int status = fuse_main(5, fuseArguments, &operations, nullptr);
    std::fprintf(stderr, "tavrick-latency-fs: %llu requests delayed\n",
                 static_cast<unsigned long long>(delayedRequests.load()));
    close(backing);
    return status;
}
