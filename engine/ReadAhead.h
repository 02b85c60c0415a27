// SPDX-License-Identifier: GPL-3.0-or-later
// Reading ahead of the walk. The walk handles folder pairs one after another, depth first, on
// its caller's thread; worker threads read the pairs it will reach next (see PairReading.h) so
// that it rarely waits for the file system, and where the file system answers at processor
// speed the walk reads the next pair itself rather than sleep. Only reading is spread out:
// everything the walk writes, and every failure it reports, stays on its thread and in its
// order.
//
// The read-ahead keeps to the walk's order: of the pairs it knows of, the next one read is the
// one the walk reaches first. It stays within a window of pairs and of listing bytes, so
// memory and open folders stay bounded whatever the tree's width, and what it read long ago is
// read again when the walk reaches it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "DestinationRules.h"
#include "PairReading.h"

namespace FileSync {

// One folder pair of the walk, read or being read.
struct PairNode {
    using Clock = std::chrono::steady_clock;

    // Holds the folders the pair's own folders are opened in.
    std::shared_ptr<PairNode> parent;
    std::string_view name;  // in the parent's listing
    // The position of the pair's source folder in the parent's listing: the walk's order.
    std::size_t entry = 0;
    std::size_t depth = 0;
    // Written by the one thread that reads the pair, before `read` turns true; only read after.
    PairReading reading;
    // Read by a worker that ran out of handles: the walk reads it again itself.
    bool readAgain = false;

    // The read-ahead's bookkeeping, under its lock.
    bool read = false;
    bool abandoned = false;
    bool inWindow = false;
    std::size_t bytes = 0;
    Clock::time_point readAt;
    std::size_t nextEntry = 0;  // where to look for the next subfolder to read ahead
    std::deque<std::shared_ptr<PairNode>> children;  // read ahead, not yet taken by the walk
};
using PairNodePtr = std::shared_ptr<PairNode>;

struct ReadAheadSettings {
    // How many threads read ahead: none with 0; with a negative number, as many as pay off,
    // none for a small tree.
    int threads = -1;
    // Older than this, what was read ahead is read again when the walk reaches it.
    std::chrono::milliseconds freshFor{10000};
    // How many handles the process may hold (0: no limit); what is read ahead holds at most an
    // eighth of them and half of what the walk leaves spare, so that the walk never runs short
    // (and where it does, it takes them back: see Reclaim).
    std::size_t handleLimit = 0;
    // The step the destination keeps modification times in; comparisons round to it.
    TimeStep destinationTimes;
};

class ReadAhead {
public:
    // Reads through `fileSystem`, ahead only when the file system allows it.
    ReadAhead(FileSystem& fileSystem, ReadAheadSettings settings);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The top pair, with its two folders open; ReadHere reads it. Pairs whose source is the
    // destination's top folder are never read below it.
    PairNodePtr Top(Folder source, Folder destination);
    // Reads an open pair on this thread, and lets the read-ahead go on below it.
    void ReadHere(const PairNodePtr& node);
    // The pair of subfolder `name` at `entry` in `parent`'s listing, read: ahead, when that is
    // done and fresh, else here and now.
    PairNodePtr Take(const PairNodePtr& parent, std::size_t entry, std::string_view name);
    // Takes the place of the pair at `entry` in `parent` with folders the walk opened itself;
    // reads it here.
    PairNodePtr ReadOpened(const PairNodePtr& parent, std::size_t entry, Folder source,
                           Folder destination);
    // The walk holds `node`'s two folders open from now until it leaves it.
    void Enter(const PairNodePtr& node);
    // The walk is done with `node` and everything below it.
    void Leave(PairNode& node);
    // The walk holds `handles` more (or, negative, fewer) open of its own, e.g. while copying a
    // folder whole; reading ahead leaves room for them.
    void WalkHolds(std::ptrdiff_t handles) { walkHandles_ += handles; }
    // The walk ran out of handles: everything read ahead and not yet taken lets go of its
    // folders, and reading ahead keeps to a narrower window from now on.
    void Reclaim();
    // Ends reading ahead; waits for the workers. Safe to call more than once.
    void Stop() noexcept;

private:
    // The pair at `entry` below `parent` as read ahead, once read; null when it was not read
    // ahead, or must be read again.
    PairNodePtr TakeReadAhead(const PairNodePtr& parent, std::size_t entry);
    bool StillInPlace(const PairNode& node);
    PairNodePtr MakeChild(const PairNodePtr& parent, std::size_t entry, std::string_view name);
    // `leaveShort`: a pair that finds the process out of handles is left to be read again.
    void Read(PairNode& node, const std::atomic<bool>* cancelled, bool leaveShort);
    bool OpenPair(PairNode& node, bool leaveShort);
    std::chrono::nanoseconds ReadTimed(PairNode& node, const std::atomic<bool>* cancelled,
                                       bool leaveShort = true);
    void Unread(PairNode& node);
    std::size_t WindowPairs() const;
    // Whether requests have been answered about as fast as a processor can ask them.
    bool FastRequests() const;
    void Finish(const PairNodePtr& node, std::chrono::nanoseconds took);
    // Learns from how long a pair took to read whether the file system answers slowly.
    void JudgeSpeed(const PairReading& reading, std::size_t subfolders,
                    std::chrono::nanoseconds took);
    // Starts reading ahead, or one worker more while the file system is slow to answer.
    void AddWorkers();
    PairNodePtr NextToRead();
    void Drop(PairNode& node);
    void LeaveWindow(PairNode& node);
    void StartWorkers(std::size_t count);
    void Work();
    bool OnWalkPath(const PairNode& node, const FolderIdentity& folder) const;

    FileSystem& fileSystem_;
    const ReadAheadSettings settings_;
    const bool allowed_;
    FolderIdentity destinationTop_;

    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable pairRead_;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> workers_;
    std::size_t idleWorkers_ = 0;
    const PairNode* walkWaitsFor_ = nullptr;
    // Read pairs with subfolders not yet read ahead.
    std::vector<PairNodePtr> candidates_;
    std::size_t inWindow_ = 0;
    std::size_t windowCap_ = std::numeric_limits<std::size_t>::max();
    // What the walk holds open: the pairs it is in (walk thread only), and their handles with
    // any others it holds.
    std::vector<PairNodePtr> walkPath_;
    std::atomic<std::ptrdiff_t> walkHandles_{0};
    std::size_t bytesInWindow_ = 0;
    std::size_t foldersSeen_ = 0;
    // How fast the file system answers (see Finish).
    double quickestOfLate_ = std::numeric_limits<double>::infinity();
    int readsOfLate_ = 0;
    bool slowRequests_ = false;
};

}  // namespace FileSync
