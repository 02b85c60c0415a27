// SPDX-License-Identifier: GPL-3.0-or-later
#include "ReadAhead.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <system_error>
#include <utility>

namespace FileSync {
namespace {

using Kind = FolderListing::Kind;

// Below this many folders a tree is done before threads would pay for themselves.
constexpr std::size_t kFoldersBeforeReadAhead = 16;
// More threads only help while requests wait on a device or a network, not on a processor.
constexpr std::size_t kMostWorkers = 32;
constexpr double kSlowRequestNanoseconds = 10'000;
constexpr int kReadsPerJudgement = 8;
// What may be read ahead and not yet taken by the walk: pairs (each holding two folders open)
// and bytes of listings. The lead must be wide enough that the walk seldom catches up where
// only one folder can be read next, as down a chain of single subfolders.
constexpr std::size_t kMostWindowPairs = 1024;
constexpr std::size_t kWindowBytes = 16u << 20;

// Whether the walk reaches the pair at `entryA` below `a` before the one at `entryB` below `b`:
// the two are compared where their paths from the top part.
bool ReachedFirst(const PairNode* a, std::size_t entryA, const PairNode* b, std::size_t entryB) {
    while (a->depth > b->depth) {
        entryA = a->entry;
        a = a->parent.get();
    }
    while (b->depth > a->depth) {
        entryB = b->entry;
        b = b->parent.get();
    }
    while (a != b) {
        entryA = a->entry;
        a = a->parent.get();
        entryB = b->entry;
        b = b->parent.get();
    }
    return entryA < entryB;
}

// Handles kept free for what the walk opens besides its pairs: a copy's source, temporary and
// temporary area, a folder being made, and the process's own.
constexpr std::size_t kHandlesKept = 32;

// A worker that finds the process out of handles leaves the pair to the walk, which holds
// fewer; the walk itself first takes back what the read-ahead holds and tries once more: what
// the read-ahead holds open is not the user's failure.
bool OutOfHandles(const FileSystemError& error, bool leaveShort) {
    int code = error.code().value();
    return leaveShort && (code == EMFILE || code == ENFILE);
}

// The walk reads too while it would wait, so it counts as one of the processors' readers.
std::size_t FirstWorkers() {
    std::size_t processors = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(processors, 2, 8) - 1;
}

}  // namespace

ReadAhead::ReadAhead(FileSystem& fileSystem, ReadAheadSettings settings)
    : fileSystem_(fileSystem),
      settings_(settings),
      allowed_(settings.threads != 0 && fileSystem.SafeForReadAhead()) {}

ReadAhead::~ReadAhead() {
    Stop();
}

PairNodePtr ReadAhead::Top(Folder source, Folder destination) {
    destinationTop_ = destination.Identity();
    auto node = std::make_shared<PairNode>();
    node->reading.source = std::move(source);
    node->reading.destination = std::move(destination);
    return node;
}

void ReadAhead::ReadHere(const PairNodePtr& node) {
    auto took = ReadTimed(*node, nullptr);
    if (node->readAgain) {
        Reclaim();
        Unread(*node);
        took += ReadTimed(*node, nullptr, false);
    }
    std::lock_guard lock(mutex_);
    Finish(node, took);
}

std::chrono::nanoseconds ReadAhead::ReadTimed(PairNode& node, const std::atomic<bool>* cancelled,
                                              bool leaveShort) {
    auto start = PairNode::Clock::now();
    Read(node, cancelled, leaveShort);
    return PairNode::Clock::now() - start;
}

// Makes a pair that ran short of handles ready to be read once more from the start.
void ReadAhead::Unread(PairNode& node) {
    PairReading& reading = node.reading;
    node.readAgain = false;
    reading.openFailure = nullptr;
    reading.listFailure = nullptr;
    reading.compared = false;
    if (node.parent && !reading.destination.IsOpen())
        reading.source = Folder();
}

void ReadAhead::Reclaim() {
    std::lock_guard lock(mutex_);
    windowCap_ = WindowPairs() / 2;
    for (auto& node : walkPath_) {
        for (auto& child : node->children)
            Drop(*child);
        node->children.clear();
    }
    // The last hold on what was dropped: its folders close here.
    std::erase_if(candidates_, [](const PairNodePtr& node) { return node->abandoned; });
}

std::size_t ReadAhead::WindowPairs() const {
    std::size_t pairs = std::min(kMostWindowPairs, windowCap_);
    const std::size_t limit = settings_.handleLimit;
    if (limit == 0)
        return pairs;
    std::size_t needed =
        static_cast<std::size_t>(std::max<std::ptrdiff_t>(walkHandles_, 0)) + kHandlesKept;
    std::size_t spare = limit > needed ? limit - needed : 0;
    // At most an eighth of all handles, and half of what the walk leaves spare: two a pair.
    return std::min({pairs, limit / 16, spare / 4});
}

bool ReadAhead::FastRequests() const {
    return !slowRequests_;
}

PairNodePtr ReadAhead::Take(const PairNodePtr& parent, std::size_t entry, std::string_view name) {
    PairNodePtr node = TakeReadAhead(parent, entry);
    if (node && StillInPlace(*node))
        return node;
    {
        std::lock_guard lock(mutex_);
        if (node)
            Drop(*node);
        parent->nextEntry = std::max(parent->nextEntry, entry + 1);
    }
    node = MakeChild(parent, entry, name);
    ReadHere(node);
    return node;
}

PairNodePtr ReadAhead::TakeReadAhead(const PairNodePtr& parent, std::size_t entry) {
    std::unique_lock lock(mutex_);
    PairNodePtr node;
    auto& children = parent->children;
    while (!children.empty() && children.front()->entry <= entry) {
        PairNodePtr first = std::move(children.front());
        children.pop_front();
        if (first->entry == entry) {
            node = std::move(first);
            break;
        }
        Drop(*first);
    }
    if (!node)
        return nullptr;
    LeaveWindow(*node);
    while (!node->read) {
        // Where requests are answered at once the walk reads the next pair itself rather than
        // sleep: a processor would otherwise sit idle.
        PairNodePtr next = FastRequests() ? NextToRead() : nullptr;
        if (next) {
            lock.unlock();
            auto took = ReadTimed(*next, &stopping_);
            lock.lock();
            Finish(next, took);
            continue;
        }
        walkWaitsFor_ = node.get();
        pairRead_.wait(lock, [&] { return node->read; });
        walkWaitsFor_ = nullptr;
    }
    if (!node->readAgain && PairNode::Clock::now() - node->readAt < settings_.freshFor)
        return node;
    Drop(*node);
    return nullptr;
}

// A destination folder opened ahead may have been moved out of the destination since: it is
// written into only while it is still the one at its name in its parent.
bool ReadAhead::StillInPlace(const PairNode& node) {
    const Folder& destination = node.reading.destination;
    if (!destination.IsOpen())
        return true;
    FileFacts facts;
    FolderIdentity identity;
    try {
        return fileSystem_.LookAt(node.parent->reading.destination, node.name, facts, identity) ==
                   EntryKind::Folder &&
               identity == destination.Identity();
    } catch (const FileSystemError&) {
        return false;  // read again, and the failure reported, by the walk
    }
}

PairNodePtr ReadAhead::ReadOpened(const PairNodePtr& parent, std::size_t entry, Folder source,
                                  Folder destination) {
    {
        std::lock_guard lock(mutex_);
        parent->nextEntry = std::max(parent->nextEntry, entry + 1);
    }
    PairNodePtr node = MakeChild(
        parent, entry, parent->reading.listing.Name(parent->reading.listing.Entries()[entry]));
    node->reading.source = std::move(source);
    node->reading.destination = std::move(destination);
    ReadHere(node);
    return node;
}

void ReadAhead::Enter(const PairNodePtr& node) {
    walkPath_.push_back(node);
    walkHandles_ += 2;
}

void ReadAhead::Leave(PairNode& node) {
    if (!walkPath_.empty() && walkPath_.back().get() == &node)
        walkPath_.pop_back();
    walkHandles_ -= 2;
    // A pair read without subfolders never had anything read below it.
    if (node.read && node.reading.listing.Count(Kind::SubFolder) == 0)
        return;
    std::lock_guard lock(mutex_);
    Drop(node);
}

void ReadAhead::Stop() noexcept {
    {
        std::lock_guard lock(mutex_);
        if (stopping_.exchange(true))
            return;
        workAvailable_.notify_all();
    }
    for (auto& worker : workers_)
        worker.join();
    // Nothing reads any more; what was read ahead and never taken lets go of its folders.
    std::vector<PairNodePtr> left;
    {
        std::lock_guard lock(mutex_);
        for (auto& candidate : candidates_)
            Drop(*candidate);
        left.swap(candidates_);
    }
}

PairNodePtr ReadAhead::MakeChild(const PairNodePtr& parent, std::size_t entry,
                                 std::string_view name) {
    auto node = std::make_shared<PairNode>();
    node->parent = parent;
    node->name = name;
    node->entry = entry;
    node->depth = parent->depth + 1;
    return node;
}

bool ReadAhead::OnWalkPath(const PairNode& node, const FolderIdentity& folder) const {
    for (const PairNode* on = &node; on; on = on->parent.get()) {
        if (on->reading.source.IsOpen() && on->reading.source.Identity() == folder)
            return true;
    }
    return false;
}

// Opens the pair's folders below its parent's. False when the pair is not to be compared: a
// folder failed to open, or the walk will not go into the pair (a source folder on its own
// path, the destination's top or a mount of a kernel pseudo file system, a destination folder
// on the source's path).
bool ReadAhead::OpenPair(PairNode& node, bool leaveShort) {
    PairReading& reading = node.reading;
    const PairReading& parent = node.parent->reading;
    try {
        reading.source = fileSystem_.GetSubFolder(parent.source, node.name);
    } catch (const FileSystemError& error) {
        node.readAgain = OutOfHandles(error, leaveShort);
        if (!node.readAgain)
            reading.openFailure = std::current_exception();
        return false;
    }
    const FolderIdentity& source = reading.source.Identity();
    if (source == destinationTop_ || reading.source.OnPseudoFileSystem() ||
        OnWalkPath(*node.parent, source))
        return false;
    try {
        // Never through a link: the walk reports one where it would make the folder.
        reading.destination = fileSystem_.GetSubFolderNoFollow(parent.destination, node.name);
    } catch (const FileSystemError& error) {
        node.readAgain = OutOfHandles(error, leaveShort);
        return false;
    }
    return !OnWalkPath(node, reading.destination.Identity());
}

// Opens the pair's folders unless they are open, and compares them. Failures are kept for the
// walk to report in its order.
void ReadAhead::Read(PairNode& node, const std::atomic<bool>* cancelled, bool leaveShort) {
    PairReading& reading = node.reading;
    try {
        if (!reading.source.IsOpen() && !OpenPair(node, leaveShort))
            return;
        try {
            CompareFolderPair(fileSystem_, reading, settings_.destinationTimes, cancelled);
        } catch (const FileSystemError& error) {
            node.readAgain = OutOfHandles(error, leaveShort);
            reading.listFailure = std::current_exception();
        }
    } catch (const ReadingCancelled&) {
    } catch (...) {
        // On a worker (memory ran short, say), the walk tries once more itself.
        if (cancelled)
            node.readAgain = true;
        else
            reading.unexpected = std::current_exception();
    }
}

void ReadAhead::Finish(const PairNodePtr& node, std::chrono::nanoseconds took) {
    node->read = true;
    node->readAt = PairNode::Clock::now();
    const PairReading& reading = node->reading;
    node->bytes = sizeof(PairNode) + reading.listing.Bytes() +
                  reading.pendingCopies.capacity() * sizeof(PendingCopy);
    if (node->inWindow)
        bytesInWindow_ += node->bytes;
    std::size_t subfolders = reading.compared ? reading.listing.Count(Kind::SubFolder) : 0;
    if (subfolders > 0 && !node->abandoned && allowed_) {
        candidates_.push_back(node);
        foldersSeen_ += subfolders;
        if (idleWorkers_ > 0)
            workAvailable_.notify_all();
    }
    if (walkWaitsFor_ == node.get())
        pairRead_.notify_one();
    if (!allowed_ || stopping_)
        return;

    JudgeSpeed(reading, subfolders, took);
    if (!candidates_.empty())
        AddWorkers();
}

void ReadAhead::JudgeSpeed(const PairReading& reading, std::size_t subfolders,
                           std::chrono::nanoseconds took) {
    // Opening both folders, listing and two requests a file; a subfolder listed costs about one.
    // The quickest pair of the last few tells the file system's speed: a pair that waited for
    // a processor took longer without its requests being slow.
    double requests = 3.0 + 2.0 * reading.rows + static_cast<double>(subfolders);
    double perRequest = static_cast<double>(took.count()) / requests;
    quickestOfLate_ = std::min(quickestOfLate_, perRequest);
    if (++readsOfLate_ == kReadsPerJudgement) {
        slowRequests_ = quickestOfLate_ > kSlowRequestNanoseconds;
        quickestOfLate_ = std::numeric_limits<double>::infinity();
        readsOfLate_ = 0;
    }
}

void ReadAhead::AddWorkers() {
    if (workers_.empty()) {
        if (settings_.threads > 0)
            StartWorkers(static_cast<std::size_t>(settings_.threads));
        else if (foldersSeen_ >= kFoldersBeforeReadAhead)
            StartWorkers(FirstWorkers());
    } else if (settings_.threads < 0 && idleWorkers_ == 0 && workers_.size() < kMostWorkers &&
               !FastRequests()) {
        StartWorkers(1);
    }
}

PairNodePtr ReadAhead::NextToRead() {
    if (stopping_ || inWindow_ >= WindowPairs() || bytesInWindow_ >= kWindowBytes)
        return nullptr;
    while (!candidates_.empty()) {
        std::size_t best = 0;
        for (std::size_t i = 1; i < candidates_.size(); ++i) {
            if (ReachedFirst(candidates_[i].get(), candidates_[i]->nextEntry,
                             candidates_[best].get(), candidates_[best]->nextEntry))
                best = i;
        }
        PairNodePtr parent = candidates_[best];
        const FolderListing& listing = parent->reading.listing;
        const auto& entries = listing.Entries();
        std::size_t entry = parent->nextEntry;
        while (entry < entries.size() && entries[entry].kind != Kind::SubFolder)
            ++entry;
        if (parent->abandoned || entry == entries.size()) {
            candidates_[best] = std::move(candidates_.back());
            candidates_.pop_back();
            continue;
        }
        parent->nextEntry = entry + 1;
        PairNodePtr node = MakeChild(parent, entry, listing.Name(entries[entry]));
        parent->children.push_back(node);
        node->inWindow = true;
        ++inWindow_;
        return node;
    }
    return nullptr;
}

// What the walk will not take: its folders are let go once no worker reads them any more.
void ReadAhead::Drop(PairNode& node) {
    node.abandoned = true;
    LeaveWindow(node);
    for (auto& child : node.children)
        Drop(*child);
    node.children.clear();
}

void ReadAhead::LeaveWindow(PairNode& node) {
    if (!node.inWindow)
        return;
    node.inWindow = false;
    --inWindow_;
    if (node.read)
        bytesInWindow_ -= node.bytes;
    if (idleWorkers_ > 0)
        workAvailable_.notify_one();
}

void ReadAhead::StartWorkers(std::size_t count) {
    try {
        for (std::size_t i = 0; i < count; ++i)
            workers_.emplace_back(&ReadAhead::Work, this);
    } catch (const std::system_error&) {
        // The system has no more threads to give: those running go on.
    }
}

void ReadAhead::Work() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        PairNodePtr node = NextToRead();
        if (!node) {
            ++idleWorkers_;
            workAvailable_.wait(lock);
            --idleWorkers_;
            continue;
        }
        lock.unlock();
        auto took = ReadTimed(*node, &stopping_);
        lock.lock();
        Finish(node, took);
    }
}

}  // namespace FileSync
