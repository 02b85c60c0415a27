// SPDX-License-Identifier: GPL-3.0-or-later
// The project's FUSE test file system (bench/TestFs.cpp) mounted for a test. The test target
// defines TAVRICK_TEST_FS_PROGRAM as the program's path.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace test_fs {

bool IsMountPoint(const std::string& path) {
    struct stat folder {};
    struct stat parent {};
    return ::stat(path.c_str(), &folder) == 0 &&
           ::stat(std::filesystem::path(path).parent_path().c_str(), &parent) == 0 &&
           folder.st_dev != parent.st_dev;
}

// The test file system serving `backing` at `mountpoint` while the object lives.
class TestFsMount {
public:
    TestFsMount(const std::string& backing, const std::string& mountpoint,
                std::vector<std::string> switches = {})
        : mountpoint_(mountpoint) {
        EXPECT_EQ(::access("/dev/fuse", R_OK | W_OK), 0) << "/dev/fuse is needed";
        std::filesystem::create_directories(backing);
        std::filesystem::create_directories(mountpoint);
        std::vector<std::string> words{TAVRICK_TEST_FS_PROGRAM, "--lifetime", "600"};
        words.insert(words.end(), switches.begin(), switches.end());
        words.insert(words.end(), {backing, mountpoint});
        std::vector<char*> argv;
        argv.reserve(words.size() + 1);
        for (auto& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        EXPECT_EQ(::posix_spawn(&daemon_, argv[0], nullptr, nullptr, argv.data(), environ), 0);
        // Waits for the mount, or for the daemon to give up.
        int status = 0;
        while (daemon_ > 0 && !IsMountPoint(mountpoint)) {
            if (::waitpid(daemon_, &status, WNOHANG) == daemon_) {
                daemon_ = 0;
                ADD_FAILURE() << "tavrick-test-fs did not mount " << mountpoint;
            }
            ::usleep(10'000);  // polls for the mount; decides nothing
        }
    }
    ~TestFsMount() { Unmount(); }
    TestFsMount(const TestFsMount&) = delete;
    TestFsMount& operator=(const TestFsMount&) = delete;
    bool Mounted() const { return daemon_ > 0; }

    // Ends the daemon, which unmounts on its way out.
    void Unmount() {
        if (daemon_ <= 0)
            return;
        ::kill(daemon_, SIGTERM);
        ::waitpid(daemon_, nullptr, 0);
        daemon_ = 0;
        if (IsMountPoint(mountpoint_))
            ::umount2(mountpoint_.c_str(), MNT_DETACH);
    }

private:
    std::string mountpoint_;
    pid_t daemon_ = 0;
};

}  // namespace test_fs
