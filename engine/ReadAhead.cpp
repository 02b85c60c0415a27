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

// A worker that finds the process out of handles leaves the pair to the walk, which holds
// fewer: what the read-ahead holds open is not the user's failure.
bool OutOfHandles(const FileSystemError& error, const std::atomic<bool>* onWorker) {
    int code = error.code().value();
    return onWorker && (code == EMFILE || code == ENFILE);
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
    std::lock_guard lock(mutex_);
    Finish(node, took);
}

std::chrono::nanoseconds ReadAhead::ReadTimed(PairNode& node, const std::atomic<bool>* cancelled) {
    auto start = PairNode::Clock::now();
    Read(node, cancelled);
    return PairNode::Clock::now() - start;
}

bool ReadAhead::FastRequests() const {
    return !slowRequests_;
}

PairNodePtr ReadAhead::Take(const PairNodePtr& parent, std::size_t entry, std::string_view name) {
    {
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
        if (node) {
            LeaveWindow(*node);
            while (!node->read) {
                // Where requests are answered at once the walk reads the next pair itself
                // rather than sleep: a processor would otherwise sit idle.
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
        }
        parent->nextEntry = std::max(parent->nextEntry, entry + 1);
    }
    PairNodePtr node = MakeChild(parent, entry, name);
    ReadHere(node);
    return node;
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

void ReadAhead::Leave(PairNode& node) {
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

// Opens the pair's folders unless they are open, and compares them unless the walk will not
// go into the pair: a source folder on its own path, the destination's top or a mount of a
// kernel pseudo file system, or a destination
// folder on the source's path. Failures are kept for the walk to report in its order.
void ReadAhead::Read(PairNode& node, const std::atomic<bool>* cancelled) {
    PairReading& reading = node.reading;
    try {
        if (!reading.source.IsOpen()) {
            const PairReading& parent = node.parent->reading;
            try {
                reading.source = fileSystem_.GetSubFolder(parent.source, node.name);
            } catch (const FileSystemError& error) {
                if (OutOfHandles(error, cancelled)) {
                    node.readAgain = true;
                    return;
                }
                reading.openFailure = std::current_exception();
                return;
            }
            const FolderIdentity& source = reading.source.Identity();
            if (source == destinationTop_ || reading.source.OnPseudoFileSystem() ||
                OnWalkPath(*node.parent, source))
                return;
            try {
                reading.destination = fileSystem_.GetSubFolder(parent.destination, node.name);
            } catch (const FileSystemError& error) {
                node.readAgain = OutOfHandles(error, cancelled);
                return;
            }
            if (OnWalkPath(node, reading.destination.Identity()))
                return;
        }
        try {
            CompareFolderPair(fileSystem_, reading, cancelled);
        } catch (const FileSystemError& error) {
            node.readAgain = OutOfHandles(error, cancelled);
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
    if (candidates_.empty())
        return;
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
    std::size_t windowPairs = kMostWindowPairs;
    if (settings_.handleLimit > 0)
        windowPairs = std::min(windowPairs, settings_.handleLimit / 16);
    if (stopping_ || inWindow_ >= windowPairs || bytesInWindow_ >= kWindowBytes)
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
