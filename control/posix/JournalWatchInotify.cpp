// SPDX-License-Identifier: GPL-3.0-or-later
// Linux change journal: one inotify instance, a watch on every folder of both trees (and on
// what the source's followed links lead to), and the mount table, whose changes inside the
// trees no watch reports.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "control/JournalWatch.h"
#include "engine/LinkRule.h"

namespace Journal {
namespace {

constexpr std::uint32_t kEntryEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE;
constexpr std::uint32_t kSelfEvents = IN_DELETE_SELF | IN_MOVE_SELF;
constexpr std::uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | kSelfEvents;

// File systems whose changes are made elsewhere (another machine, a FUSE daemon's backing
// store): the kernel sends no events for them.
bool KernelSeesChanges(long type) {
    switch (static_cast<unsigned long>(type)) {
        case 0x6969:      // NFS
        case 0x517B:      // SMB
        case 0xFF534D42:  // CIFS
        case 0xFE534D42:  // SMB2
        case 0x65735546:  // FUSE
        case 0x01021997:  // 9P
        case 0x00C36400:  // Ceph
        case 0x5346414F:  // AFS
        case 0x6B414653:  // kAFS
        case 0x73757245:  // Coda
        case 0x564C:      // NCP
        case 0x01161970:  // GFS2
        case 0x7461636F:  // OCFS2
            return false;
        default:
            return true;
    }
}

// The kernel's own file systems, which the walk never enters.
bool IsPseudo(long type) {
    switch (static_cast<unsigned long>(type)) {
        case 0x9FA0:      // proc
        case 0x62656572:  // sysfs
        case 0x1CD1:      // devpts
        case 0x27E0EB:    // cgroup
        case 0x63677270:  // cgroup2
        case 0x64626720:  // debugfs
        case 0x74726163:  // tracefs
        case 0x73636673:  // securityfs
        case 0xCAFE4A11:  // bpf
        case 0x6165676C:  // pstore
        case 0x62656570:  // configfs
        case 0xDE5E81E4:  // efivarfs
        case 0xF97CFF8C:  // selinuxfs
        case 0x42494E4D:  // binfmt_misc
            return true;
        default:
            return false;
    }
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

bool IsWithin(const std::string& path, const std::string& root) {
    return path.starts_with(root) &&
           (path.size() == root.size() || root.back() == '/' || path[root.size()] == '/');
}

// Mount points in /proc/self/mountinfo that lie in, or hold, one of `roots`.
std::vector<std::string> MountsAbout(const std::vector<std::string>& roots) {
    std::vector<std::string> found;
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, escaped;
        fields >> id >> parent >> device >> root >> escaped;
        std::string point;
        for (std::size_t at = 0; at < escaped.size(); ++at) {
            if (escaped[at] == '\\' && at + 3 < escaped.size()) {
                point += char(std::strtol(escaped.substr(at + 1, 3).c_str(), nullptr, 8));
                at += 3;
            } else {
                point += escaped[at];
            }
        }
        const auto about = [&point](const std::string& top) {
            return IsWithin(point, top) || IsWithin(top, point);
        };
        if (std::any_of(roots.begin(), roots.end(), about))
            found.push_back(point.append(" ").append(device));
    }
    std::sort(found.begin(), found.end());
    return found;
}

class InotifyWatch final : public JournalWatch {
public:
    InotifyWatch(JournalTree& source, JournalTree& destination)
        : source_(source),
          destination_(destination),
          descriptor_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
          mounts_(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) {}
    ~InotifyWatch() override {
        if (descriptor_ >= 0)
            ::close(descriptor_);
        if (mounts_ >= 0)
            ::close(mounts_);
    }
    InotifyWatch(const InotifyWatch&) = delete;
    InotifyWatch& operator=(const InotifyWatch&) = delete;

    Trouble Start();
    Trouble Drain(Mark mark) override;

private:
    struct Watched {
        JournalTree* tree;
        FolderNode* node;
    };

    void AddEntry(JournalTree& tree, FolderNode& parent, std::string_view name, Mark mark);
    // False, with nothing watched, when it turned out to be no folder to watch.
    bool AddFolder(JournalTree& tree, FolderNode& node, const std::string& path, bool follow,
                   Mark mark);
    void ListFolder(JournalTree& tree, FolderNode& node, int folder, Mark mark);
    void AddLink(JournalTree& tree, FolderNode& parent, std::string_view name,
                 const std::string& path, Mark mark);
    bool IsCycle(const FolderNode& node, const struct stat& status) const;
    void RemoveNode(JournalTree& tree, FolderNode& node);
    void Handle(const inotify_event& event, std::string_view name, Mark mark);
    void HandleOn(const Watched& watched, const inotify_event& event, std::string_view name,
                  Mark mark);
    void HandleSelf(JournalTree& tree, FolderNode& node, std::uint32_t mask, Mark mark);
    bool StillWatched(int watch, const FolderNode* node) const;
    void Fail(std::string reason, bool lasting) {
        if (trouble_.reason.empty())
            trouble_ = {std::move(reason), lasting};
    }

    JournalTree& source_;
    JournalTree& destination_;
    int descriptor_;
    int mounts_;
    std::vector<std::string> resolvedTops_;
    std::vector<std::string> mountsSeen_;
    FileSync::LinkRule links_;
    std::unordered_multimap<int, Watched> byWatch_;
    // What each watched folder is, to see a followed link lead back above itself.
    std::unordered_map<const FolderNode*, std::pair<dev_t, ino_t>> identity_;
    Trouble trouble_;
};

JournalWatch::Trouble InotifyWatch::Start() {
    if (descriptor_ < 0)
        return {std::string("inotify: ") + std::strerror(errno), true};
    for (JournalTree* tree : {&source_, &destination_}) {
        const std::string resolved = RealPath(tree->Top());
        if (resolved.empty())
            return {tree->Top() + ": " + std::strerror(errno), false};
        resolvedTops_.push_back(resolved);
    }
    links_.SetTops(resolvedTops_[0], resolvedTops_[1]);
    mountsSeen_ = MountsAbout(resolvedTops_);
    for (JournalTree* tree : {&source_, &destination_}) {
        if (!AddFolder(*tree, tree->Root(), tree->Top(), true, 0))
            Fail(tree->Top() + " cannot be watched", false);
        if (!trouble_.reason.empty())
            break;
    }
    return trouble_;
}

bool InotifyWatch::IsCycle(const FolderNode& node, const struct stat& status) const {
    for (const FolderNode* above = node.parent; above; above = above->parent) {
        const auto known = identity_.find(above);
        if (known != identity_.end() &&
            known->second == std::make_pair(status.st_dev, status.st_ino))
            return true;
    }
    return false;
}

// Watches the folder first and lists it after, so nothing made in it meanwhile goes unseen.
bool InotifyWatch::AddFolder(JournalTree& tree, FolderNode& node, const std::string& path,
                             bool follow, Mark mark) {
    if (tree.Count() + (&tree == &source_ ? destination_ : source_).Count() > kMaxFolders) {
        Fail("more than " + std::to_string(kMaxFolders) + " folders to watch", true);
        return false;
    }
    const int folder =
        ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    struct stat status {};
    struct statfs kind {};
    if (folder < 0 || ::fstat(folder, &status) != 0 || ::fstatfs(folder, &kind) != 0) {
        // Gone or replaced meanwhile: its parent's events say so. Else it cannot be read.
        if (folder >= 0)
            ::close(folder);
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
            Fail(path + ": " + std::strerror(errno), false);
        return false;
    }
    if (!KernelSeesChanges(kind.f_type)) {
        ::close(folder);
        Fail(path + " lies on a file system whose changes the kernel does not see (network, FUSE)",
             true);
        return false;
    }
    if (IsPseudo(kind.f_type) || IsCycle(node, status)) {
        ::close(folder);
        return false;  // never walked
    }
    const std::string proc = "/proc/self/fd/" + std::to_string(folder);
    // Through the open folder itself, so the watch is on what was opened, not on whatever
    // holds the name by now.
    const int watch = inotify_add_watch(descriptor_, proc.c_str(),
                                        kEntryEvents | kSelfEvents | IN_ONLYDIR | IN_MASK_ADD);
    if (watch < 0) {
        const int code = errno;
        ::close(folder);
        if (code == ENOSPC || code == ENOMEM)
            Fail("the system's limit of watched folders (fs.inotify.max_user_watches) is reached",
                 true);
        else
            Fail(path + ": " + std::strerror(code), false);
        return false;
    }
    node.watch = watch;
    byWatch_.emplace(watch, Watched{&tree, &node});
    identity_[&node] = {status.st_dev, status.st_ino};
    if (mark)
        tree.MarkWhole(node, mark);
    ListFolder(tree, node, folder, mark);
    return true;
}

void InotifyWatch::ListFolder(JournalTree& tree, FolderNode& node, int folder, Mark mark) {
    DIR* listing = ::fdopendir(folder);
    if (!listing) {
        ::close(folder);
        return Fail(tree.PathOf(node) + ": " + std::strerror(errno), false);
    }
    // Names are copied out first: adding a subfolder opens more folders.
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == ".." || entry->d_type == DT_REG)
            continue;
        names.emplace_back(name);
    }
    ::closedir(listing);
    for (const std::string& name : names) {
        if (!trouble_.reason.empty())
            return;
        AddEntry(tree, node, name, mark);
    }
}

void InotifyWatch::AddEntry(JournalTree& tree, FolderNode& parent, std::string_view name,
                            Mark mark) {
    const std::string path = tree.PathOf(parent) + "/" + std::string(name);
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
        return;  // gone again; its parent's events say so
    if (S_ISLNK(status.st_mode) && &tree == &source_)
        return AddLink(tree, parent, name, path, mark);
    if (!S_ISDIR(status.st_mode))
        return;
    FolderNode& node = tree.Add(parent, name);
    if (!AddFolder(tree, node, path, false, mark))
        RemoveNode(tree, node);
}

// A link of the source is watched where the walk follows it: what it leads to is then part of
// the backup (see FileSync::LinkRule). Kept links are entries of their folder like files.
void InotifyWatch::AddLink(JournalTree& tree, FolderNode& parent, std::string_view name,
                           const std::string& path, Mark mark) {
    FileSync::LinkTarget target;
    target.path = RealPath(path);
    struct stat status {};
    struct statfs kind {};
    if (!target.path.empty() && ::stat(path.c_str(), &status) == 0) {
        target.kind = S_ISDIR(status.st_mode)   ? FileSync::FolderListing::Kind::SubFolder
                      : S_ISREG(status.st_mode) ? FileSync::FolderListing::Kind::File
                                                : FileSync::FolderListing::Kind::Link;
        target.onPseudoFileSystem = ::statfs(path.c_str(), &kind) == 0 && IsPseudo(kind.f_type);
    }
    const FileSync::LinkAction action = links_.Decide(target);
    if (action == FileSync::LinkAction::Keep)
        return;
    FolderNode& node = tree.Add(parent, name);
    node.isLink = true;
    if (action == FileSync::LinkAction::FollowFolder) {
        links_.EnterFollowed(target.path);
        const bool watched = AddFolder(tree, node, path, true, mark);
        links_.LeaveFollowed();
        if (!watched)
            RemoveNode(tree, node);
        return;
    }
    node.isFile = true;
    const int watch = inotify_add_watch(descriptor_, path.c_str(), kFileEvents | IN_MASK_ADD);
    if (watch < 0) {
        if (errno == ENOSPC || errno == ENOMEM)
            Fail("the system's limit of watched folders (fs.inotify.max_user_watches) is reached",
                 true);
        RemoveNode(tree, node);
        return;
    }
    node.watch = watch;
    byWatch_.emplace(watch, Watched{&tree, &node});
}

void InotifyWatch::RemoveNode(JournalTree& tree, FolderNode& node) {
    tree.Remove(node, [this](FolderNode& gone) {
        identity_.erase(&gone);
        if (gone.watch < 0)
            return;
        auto [first, last] = byWatch_.equal_range(gone.watch);
        for (auto at = first; at != last; ++at)
            if (at->second.node == &gone) {
                byWatch_.erase(at);
                break;
            }
        // Another node may stand for the same folder (two links to it).
        if (!byWatch_.count(gone.watch))
            inotify_rm_watch(descriptor_, gone.watch);
    });
}

bool InotifyWatch::StillWatched(int watch, const FolderNode* node) const {
    auto [first, last] = byWatch_.equal_range(watch);
    return std::any_of(first, last, [node](const auto& at) { return at.second.node == node; });
}

JournalWatch::Trouble InotifyWatch::Drain(Mark mark) {
    alignas(inotify_event) char buffer[64 * 1024];
    while (trouble_.reason.empty()) {
        const ssize_t length = ::read(descriptor_, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= length;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof(inotify_event);
            Handle(event, std::string_view(name, ::strnlen(name, event.len)), mark);
            at += ssize_t(sizeof(inotify_event) + event.len);
        }
    }
    pollfd changed{mounts_, POLLPRI, 0};
    if (trouble_.reason.empty() && mounts_ >= 0 && ::poll(&changed, 1, 0) > 0 &&
        (changed.revents & (POLLPRI | POLLERR)) && MountsAbout(resolvedTops_) != mountsSeen_)
        Fail("a file system was mounted or unmounted in the folders", false);
    return trouble_;
}

void InotifyWatch::Handle(const inotify_event& event, std::string_view name, Mark mark) {
    if (event.mask & IN_Q_OVERFLOW)
        return Fail("more changes than the kernel queues (fs.inotify.max_queued_events)", false);
    if (event.mask & IN_UNMOUNT)
        return Fail("a watched folder was unmounted", false);
    std::vector<Watched> targets;
    auto [first, last] = byWatch_.equal_range(event.wd);
    for (auto at = first; at != last; ++at)
        targets.push_back(at->second);
    for (const Watched& watched : targets)
        if (trouble_.reason.empty() && StillWatched(event.wd, watched.node))
            HandleOn(watched, event, name, mark);
}

void InotifyWatch::HandleOn(const Watched& watched, const inotify_event& event,
                            std::string_view name, Mark mark) {
    JournalTree& tree = *watched.tree;
    FolderNode& node = *watched.node;
    if (event.mask & (kSelfEvents | IN_IGNORED))
        return HandleSelf(tree, node, event.mask, mark);
    if (node.isFile) {
        tree.MarkOwn(*node.parent, mark);
        return;
    }
    tree.MarkOwn(node, mark);
    if (name.empty() || !(event.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)))
        return;
    const auto child = node.children.find(name);
    if (child != node.children.end())
        RemoveNode(tree, *child->second);
    if (event.mask & (IN_CREATE | IN_MOVED_TO))
        AddEntry(tree, node, name, mark);
}

// The watched folder or file itself was moved, deleted or unmounted.
void InotifyWatch::HandleSelf(JournalTree& tree, FolderNode& node, std::uint32_t mask, Mark mark) {
    // A top that goes (or is replaced) takes the whole tree with it.
    if (!node.parent)
        return Fail(tree.Top() + " was moved, deleted or unmounted", false);
    FolderNode& parent = *node.parent;
    tree.MarkOwn(parent, mark);
    // What a followed link leads to was moved or replaced: the link is looked at anew.
    if (node.isLink) {
        const std::string name = node.name;
        RemoveNode(tree, node);
        return AddEntry(tree, parent, name, mark);
    }
    // A folder moved within the trees is handled by its parents' events, which may already
    // have put it in its new place under the same watch.
    if (!(mask & IN_MOVE_SELF))
        RemoveNode(tree, node);
}

}  // namespace

bool JournalWatch::KnowsEveryFolder() {
    return true;
}

bool JournalWatch::OnByDefault() {
    return true;
}

std::unique_ptr<JournalWatch> JournalWatch::Open(JournalTree& source, JournalTree& destination,
                                                 Trouble& trouble) {
    auto watch = std::make_unique<InotifyWatch>(source, destination);
    trouble = watch->Start();
    if (!trouble.reason.empty())
        return nullptr;
    return watch;
}

}  // namespace Journal
