// The least work a one-way backup of a folder tree can do, as a yardstick for the engine.
//
//   tavrick-floor [--copy] SOURCE DESTINATION
//
// Without --copy it lists every source folder once through a directory descriptor and
// fstatat()s every regular file on both sides, copying nothing. With --copy it also copies
// what the backup rules ask for: a file missing in the destination, a source file newer in
// whole seconds, or one of the same whole-second time but another size; a folder missing in the
// destination is created and filled without comparing. Copies use copy_file_range straight
// into the target name (no temporary name, no rename, no sync) and keep the source's mode and
// modification time. Folders are handled depth first, a folder's own files before its
// subfolders, as the engine does. Prints what it did to stderr with --verbose.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Counters {
    std::uint64_t folders = 0;
    std::uint64_t files = 0;
    std::uint64_t copied = 0;
    std::uint64_t bytes = 0;
    std::uint64_t failures = 0;
};

bool copyMode = false;
Counters counters;

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

// Copies one file into an open destination folder, creating or truncating the target.
void CopyFile(int sourceDir, int destinationDir, const char* name, const struct stat& source) {
    int in = openat(sourceDir, name, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return Fail("open", name);
    mode_t mode = source.st_mode & 07777;
    int out = openat(destinationDir, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (out < 0) {
        Fail("create", name);
        close(in);
        return;
    }
    off_t left = source.st_size;
    while (left > 0) {
        ssize_t done = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
        if (done <= 0) {
            if (done < 0)
                Fail("copy", name);
            break;
        }
        left -= done;
        counters.bytes += static_cast<std::uint64_t>(done);
    }
    // An existing target keeps its old mode through O_TRUNC; the umask may trim a new one.
    fchmod(out, mode);
    struct timespec times[2] = {source.st_atim, source.st_mtim};
    futimens(out, times);
    close(out);
    close(in);
    ++counters.copied;
}

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
    SyncPair(source, destination, created);
    close(destination);
    close(source);
}

// One folder pair: its files first, then each subfolder with its whole subtree. The listing
// is read with getdents64 straight into a buffer, so listing a folder costs its getdents
// calls and nothing more.
void SyncPair(int sourceDir, int destinationDir, bool destinationIsNew) {
    ++counters.folders;
    alignas(8) static char buffer[32768];
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
                CopyFile(sourceDir, destinationDir, name, source);
                continue;
            }
            struct stat destination;
            bool present = fstatat(destinationDir, name, &destination, 0) == 0;
            if (copyMode && (!present || NeedsCopy(source, destination)))
                CopyFile(sourceDir, destinationDir, name, source);
        }
    }
    for (const std::string& name : subfolders)
        SyncSubfolder(sourceDir, destinationDir, name.c_str());
}

int Usage() {
    std::fprintf(stderr, "usage: tavrick-floor [--copy] [--verbose] SOURCE DESTINATION\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool verbose = false;
    std::vector<const char*> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--copy") == 0)
            copyMode = true;
        else if (std::strcmp(argv[i], "--verbose") == 0)
            verbose = true;
        else if (argv[i][0] == '-' && argv[i][1] == '-')
            return Usage();
        else
            paths.push_back(argv[i]);
    }
    if (paths.size() != 2)
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
    SyncPair(source, destination, created);
    close(destination);
    close(source);
    if (verbose)
        std::fprintf(stderr, "folders %llu files %llu copied %llu bytes %llu failures %llu\n",
                     static_cast<unsigned long long>(counters.folders),
                     static_cast<unsigned long long>(counters.files),
                     static_cast<unsigned long long>(counters.copied),
                     static_cast<unsigned long long>(counters.bytes),
                     static_cast<unsigned long long>(counters.failures));
    return counters.failures == 0 ? 0 : 1;
}
