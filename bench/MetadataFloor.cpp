// SPDX-License-Identifier: GPL-3.0-or-later
// The least work a one-way backup of a folder tree can do, as a yardstick for the engine.
//
//   tavrick-floor [--copy [--tmpfile] [--rename]] [--threads N] [--verbose] SOURCE DESTINATION
//
// Without --copy it lists every source folder once through a directory descriptor and
// fstatat()s every regular file on both sides, copying nothing. With --copy it also copies
// what the backup rules ask for: a file missing in the destination, a source file newer in
// whole seconds, or one of the same whole-second time but another size; a folder missing in the
// destination is created and filled without comparing. Copies use copy_file_range straight
// into the target name (no temporary name, no rename, no sync) and keep the source's mode and
// modification time. Folders are handled depth first, a folder's own files before its
// subfolders, as the engine does. Prints what it did to stderr with --verbose.
//
// Two switches price the ways a crash-safe copy differs from that plain one: --tmpfile writes
// a missing file without a name (O_TMPFILE) and links it in, --rename writes a replacement
// under a temporary name in one folder at the destination's top and renames it over the
// target.
//
// --threads N walks with N threads: each takes a folder pair from a shared stack, handles its
// files and hands its subfolder pairs back to the stack. The work per folder pair is the same;
// only the order differs. This is the parallel floor, the most the hardware gives.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Counters {
    std::uint64_t folders = 0;
    std::uint64_t files = 0;
    std::uint64_t copied = 0;
    std::uint64_t bytes = 0;
    std::uint64_t failures = 0;

    void Add(const Counters& other) {
        folders += other.folders;
        files += other.files;
        copied += other.copied;
        bytes += other.bytes;
        failures += other.failures;
    }
};

bool copyMode = false;
bool tmpfileMode = false;
bool renameMode = false;
// Each thread counts for itself; the totals are summed when the threads are done.
thread_local Counters counters;

// The destination's top, which holds the folder of temporaries that --rename writes to.
int destinationTop = -1;
constexpr const char* kTemporaries = ".tavrick-floor-temporaries";
std::atomic<unsigned long long> temporarySequence{0};

void Fail(const char* what, const std::string& name) {
    ++counters.failures;
    std::fprintf(stderr, "tavrick-floor: %s %s: %s\n", what, name.c_str(), std::strerror(errno));
}

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

bool NeedsCopy(const struct stat& source, const struct stat& destination) {
    if (source.st_mtim.tv_sec != destination.st_mtim.tv_sec)
        return source.st_mtim.tv_sec > destination.st_mtim.tv_sec;
    return source.st_size != destination.st_size;
}

// Where a copy is written and how it gets its name: in place, nameless, or as a temporary.
struct Target {
    int fd = -1;
    std::string temporary;  // set for a temporary name in the folder of temporaries
};

Target OpenTarget(int destinationDir, const char* name, mode_t mode, bool missing) {
    Target target;
    if (missing && tmpfileMode) {
        target.fd = openat(destinationDir, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600);
    } else if (!missing && renameMode) {
        target.temporary =
            std::string(kTemporaries) + "/t" + std::to_string(temporarySequence.fetch_add(1));
        auto create = [&] {
            return openat(destinationTop, target.temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        };
        target.fd = create();
        if (target.fd < 0 && errno == ENOENT &&
            (mkdirat(destinationTop, kTemporaries, 0700) == 0 || errno == EEXIST))
            target.fd = create();
    } else {
        target.fd = openat(destinationDir, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    }
    return target;
}

// Gives a finished nameless or temporary copy its name in the destination folder.
bool NameTarget(const Target& target, int destinationDir, const char* name, bool missing) {
    if (missing && tmpfileMode) {
        char self[32];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", target.fd);
        return linkat(AT_FDCWD, self, destinationDir, name, AT_SYMLINK_FOLLOW) == 0;
    }
    if (!target.temporary.empty())
        return renameat(destinationTop, target.temporary.c_str(), destinationDir, name) == 0;
    return true;
}

// Copies one file into an open destination folder.
void CopyFile(int sourceDir, int destinationDir, const char* name, const struct stat& source,
              bool missing) {
    int in = openat(sourceDir, name, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return Fail("open", name);
    mode_t mode = source.st_mode & 07777;
    Target out = OpenTarget(destinationDir, name, mode, missing);
    if (out.fd < 0) {
        Fail("create", name);
        close(in);
        return;
    }
    off_t left = source.st_size;
    while (left > 0) {
        ssize_t done = copy_file_range(in, nullptr, out.fd, nullptr, static_cast<size_t>(left), 0);
        if (done <= 0) {
            if (done < 0)
                Fail("copy", name);
            break;
        }
        left -= done;
        counters.bytes += static_cast<std::uint64_t>(done);
    }
    // An existing target keeps its old mode through O_TRUNC; the umask may trim a new one.
    fchmod(out.fd, mode);
    struct timespec times[2] = {source.st_atim, source.st_mtim};
    futimens(out.fd, times);
    if (!NameTarget(out, destinationDir, name, missing))
        Fail("name", name);
    close(out.fd);
    close(in);
    ++counters.copied;
}

// One folder pair to handle, both sides open.
struct Pair {
    int source;
    int destination;
    bool destinationIsNew;
};

// The folder pairs waiting for a thread of a --threads walk. Past a bound a thread handles a
// subfolder itself rather than queueing it, so the open descriptors stay bounded.
class WorkStack {
public:
    bool TryPush(const Pair& pair) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pairs_.size() >= kBound)
                return false;
            pairs_.push_back(pair);
        }
        ready_.notify_one();
        return true;
    }

    // The next pair, or false once the stack is empty and no thread can add to it.
    bool Take(Pair& pair) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return !pairs_.empty() || busy_ == 0; });
        if (pairs_.empty())
            return false;
        pair = pairs_.back();
        pairs_.pop_back();
        ++busy_;
        return true;
    }

    void Done() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--busy_ == 0 && pairs_.empty())
            ready_.notify_all();
    }

private:
    static constexpr std::size_t kBound = 2048;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Pair> pairs_;
    std::size_t busy_ = 0;
};

WorkStack* workStack = nullptr;

void SyncPair(int sourceDir, int destinationDir, bool destinationIsNew);

// Handles one source subfolder: opens its namesake, or creates it when it is missing.
void SyncSubfolder(int sourceDir, int destinationDir, const char* name) {
    int source = openat(sourceDir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (source < 0)
        return Fail("open folder", name);
    bool created = false;
    int destination = openat(destinationDir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (destination < 0 && errno == ENOENT && copyMode) {
        struct stat folder;
        mode_t mode = fstat(source, &folder) == 0 ? (folder.st_mode & 07777) : 0755;
        if (mkdirat(destinationDir, name, mode) == 0 || errno == EEXIST) {
            destination = openat(destinationDir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            created = true;
        }
    }
    if (destination < 0) {
        if (copyMode)
            Fail("open destination folder", name);
        close(source);
        return;
    }
    if (workStack && workStack->TryPush({source, destination, created}))
        return;
    SyncPair(source, destination, created);
    close(destination);
    close(source);
}

// One folder pair: its files first, then each subfolder with its whole subtree. The listing
// is read with getdents64 straight into a buffer, so listing a folder costs its getdents
// calls and nothing more.
void SyncPair(int sourceDir, int destinationDir, bool destinationIsNew) {
    ++counters.folders;
    alignas(8) static thread_local char buffer[32768];
    std::vector<std::string> subfolders;
    for (;;) {
        ssize_t filled = getdents64(sourceDir, buffer, sizeof buffer);
        if (filled < 0)
            Fail("list", "folder");
        if (filled <= 0)
            break;
        for (ssize_t at = 0; at < filled;) {
            auto* entry = reinterpret_cast<dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (IsDotOrDotDot(name))
                continue;
            unsigned char type = entry->d_type;
            struct stat source {};
            if (type == DT_DIR) {
                subfolders.emplace_back(name);
                continue;
            }
            if (type != DT_REG && type != DT_UNKNOWN)
                continue;
            if (fstatat(sourceDir, name, &source, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(source.st_mode)) {
                subfolders.emplace_back(name);
                continue;
            }
            if (!S_ISREG(source.st_mode))
                continue;
            ++counters.files;
            if (destinationIsNew) {
                CopyFile(sourceDir, destinationDir, name, source, true);
                continue;
            }
            struct stat destination;
            bool present = fstatat(destinationDir, name, &destination, 0) == 0;
            if (copyMode && (!present || NeedsCopy(source, destination)))
                CopyFile(sourceDir, destinationDir, name, source, !present);
        }
    }
    for (const std::string& name : subfolders)
        SyncSubfolder(sourceDir, destinationDir, name.c_str());
}

// Walks from the top pair with `threads` threads and gives back what they counted together.
Counters WalkInParallel(int source, int destination, bool created, unsigned threads) {
    // Each queued pair holds two descriptors.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    WorkStack stack;
    workStack = &stack;
    stack.TryPush({source, destination, created});
    std::mutex totalMutex;
    Counters total;
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < threads; ++i) {
        workers.emplace_back([&] {
            Pair pair;
            while (stack.Take(pair)) {
                SyncPair(pair.source, pair.destination, pair.destinationIsNew);
                if (pair.source != source) {
                    close(pair.destination);
                    close(pair.source);
                }
                stack.Done();
            }
            std::lock_guard<std::mutex> lock(totalMutex);
            total.Add(counters);
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    workStack = nullptr;
    return total;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: tavrick-floor [--copy [--tmpfile] [--rename]] [--threads N] [--verbose] "
                 "SOURCE DESTINATION\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool verbose = false;
    unsigned threads = 1;
    std::vector<const char*> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--copy") == 0)
            copyMode = true;
        else if (std::strcmp(argv[i], "--tmpfile") == 0)
            tmpfileMode = true;
        else if (std::strcmp(argv[i], "--rename") == 0)
            renameMode = true;
        else if (std::strcmp(argv[i], "--verbose") == 0)
            verbose = true;
        else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            threads = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (argv[i][0] == '-' && argv[i][1] == '-')
            return Usage();
        else
            paths.push_back(argv[i]);
    }
    if (paths.size() != 2 || threads == 0 || ((tmpfileMode || renameMode) && !copyMode))
        return Usage();

    int source = open(paths[0], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (source < 0) {
        Fail("open source", paths[0]);
        return 1;
    }
    bool created = false;
    int destination = open(paths[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (destination < 0 && errno == ENOENT && copyMode) {
        struct stat folder;
        mode_t mode = fstat(source, &folder) == 0 ? (folder.st_mode & 07777) : 0755;
        if (mkdir(paths[1], mode) == 0)
            destination = open(paths[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        created = true;
    }
    if (destination < 0) {
        Fail("open destination", paths[1]);
        return 1;
    }
    destinationTop = destination;
    Counters total;
    if (threads == 1) {
        SyncPair(source, destination, created);
        total = counters;
    } else {
        total = WalkInParallel(source, destination, created, threads);
    }
    if (renameMode)
        unlinkat(destination, kTemporaries, AT_REMOVEDIR);
    close(destination);
    close(source);
    if (verbose)
        std::fprintf(stderr, "folders %llu files %llu copied %llu bytes %llu failures %llu\n",
                     static_cast<unsigned long long>(total.folders),
                     static_cast<unsigned long long>(total.files),
                     static_cast<unsigned long long>(total.copied),
                     static_cast<unsigned long long>(total.bytes),
                     static_cast<unsigned long long>(total.failures));
    return total.failures == 0 ? 0 : 1;
}
