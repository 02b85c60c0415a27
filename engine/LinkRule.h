// SPDX-License-Identifier: GPL-3.0-or-later
// Which links of the source the walk follows: the engine's rule, shared with whatever must see
// the tree as the walk sees it (the change journal).
#pragma once

#include <string>
#include <vector>

#include "FileSystem.h"

namespace FileSync {

enum class LinkAction { Keep, FollowFile, FollowFolder };

// Decides for each link of the source whether the walk follows it. A link is kept as a link
// when what it leads to is backed up anyway or must never be walked: a target inside the source
// (or inside a folder the walk reached through a followed link), a target that holds the
// source's or the destination's top (a link to "/" or to a parent; likewise for a followed
// folder), a target on a kernel pseudo file system, and a link that leads nowhere. Any other
// link brings data in from outside the source and is followed.
class LinkRule {
public:
    // The resolved paths of the two tops (see FileSystem::ResolvedPath).
    void SetTops(std::string source, std::string destination);
    LinkAction Decide(const LinkTarget& target) const;
    // While the walk is below a followed folder link, links into its target are kept too.
    void EnterFollowed(std::string target) { roots_.push_back(std::move(target)); }
    void LeaveFollowed() { roots_.pop_back(); }

private:
    std::vector<std::string> roots_;  // the source's top first
    std::string destinationTop_;
};

}  // namespace FileSync
