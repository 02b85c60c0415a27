// SPDX-License-Identifier: GPL-3.0-or-later
// The change marks of one watched tree: a folder node per name below the top, each with the
// last change seen in its own entries, the last time it came in whole (made, moved in, or met
// while it could not be watched yet), and the latest of all marks at or below it.
//
// Marks are numbered by a counter that only grows; a run that began at number N and completed
// clears every mark below N, and what changed while it ran stays marked.
//
// Memory: a node costs about 300 bytes, and its name beyond 15 characters: the node, its place
// in the parent's map, and on Linux its watch's entries (JournalWatchInotify.cpp), besides
// about 1 KiB of kernel memory per watch. Only folders (and followed file links) have nodes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Journal {

using Mark = std::uint64_t;  // 0 is no mark
// Marks a folder whose contents are not watched (a link the walk may follow where the
// platform's watch does not): it and the folders above it count as changed on every run.
inline constexpr Mark kUnwatched = ~Mark(0);

struct FolderNode {
    FolderNode* parent = nullptr;
    std::string name;
    // Keyed by views of the children's own names.
    std::map<std::string_view, std::unique_ptr<FolderNode>> children;
    Mark own = 0;    // an entry of the folder was made, removed, renamed, written or touched
    Mark whole = 0;  // the folder and everything below it count as changed
    Mark below = 0;  // the latest mark at or below the folder
    // The platform's watch on the folder (or on the file a followed link leads to), if any.
    int watch = -1;
    bool isLink = false;  // a followed link of the source: its watch is on what it leads to
    bool isFile = false;  // a followed link's target file, watched for its parent's sake
};

class JournalTree {
public:
    // `knowsEveryFolder`: every folder of the tree has a node (a journal that watches each
    // folder), so a folder without one is unknown and counts as changed. Otherwise nodes exist
    // only where marks are, and a folder without one is unchanged.
    JournalTree(std::string top, bool knowsEveryFolder);

    const std::string& Top() const { return top_; }
    FolderNode& Root() { return *root_; }

    // Whether the folder at `path` (the top, or the top, a separator and names) and everything
    // below it carry no mark. A path outside the tree is never clean.
    bool Clean(std::string_view path) const;

    // The names of `path` below the top; false when it does not lie at or below it.
    bool NamesBelowTop(std::string_view path, std::vector<std::string_view>& names) const;
    // The node of the names, made where missing.
    FolderNode& Reach(const std::vector<std::string_view>& names);
    // The deepest existing node on the way to the names; `depth` says how many it matched.
    FolderNode& Deepest(const std::vector<std::string_view>& names, std::size_t& depth);

    // The child `name` of `parent`; made, without marks, when there is none.
    FolderNode& Add(FolderNode& parent, std::string_view name);
    // Removes the node (never the root) and everything below it; `forEach` first sees each.
    template <typename Visit>
    void Remove(FolderNode& node, Visit&& forEach) {
        Visit_(node, forEach);
        node.parent->children.erase(node.name);
    }
    std::string PathOf(const FolderNode& node) const;
    std::size_t Count() const { return count_; }

    void MarkOwn(FolderNode& node, Mark mark);
    void MarkWhole(FolderNode& node, Mark mark);
    // Clears every mark below `before`; nodes left without marks or children go where the tree
    // does not know every folder.
    void ClearBefore(Mark before);

private:
    template <typename Visit>
    void Visit_(FolderNode& node, Visit& visit) {
        for (auto& child : node.children)
            Visit_(*child.second, visit);
        visit(node);
        --count_;
    }
    void RaiseBelow(FolderNode* node, Mark mark);
    // Returns whether the node may go.
    bool ClearNode(FolderNode& node, Mark before);

    std::string top_;
    bool knowsEveryFolder_;
    std::unique_ptr<FolderNode> root_;
    std::size_t count_ = 1;
};

}  // namespace Journal
