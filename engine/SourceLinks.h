// SPDX-License-Identifier: GPL-3.0-or-later
// Links of the source tree: which ones the walk follows, and how one is backed up as a link.
#pragma once

#include <string>
#include <string_view>
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

enum class LinkOutcome {
    Unchanged,       // the destination holds the same link, or the source's is gone
    Made,            // made, or replaced one with another target text
    OtherKindThere,  // a folder or file of an earlier backup holds the name; left as it is
    NotSupported,    // the destination cannot hold links here
};

// Backs up the link `name` of `from` as a link in `to` with the same target text. Made like a
// copy: under a fresh name in `areaOwner`'s temporary area (when on `to`'s device) or in `to`,
// then renamed into place, replacing an older link of another target text. `toFolder` says what
// it leads to. Failures throw FileSystemError.
LinkOutcome CopyLink(FileSystem& fileSystem, const Folder& from, std::string_view name,
                     const Folder& to, bool toFolder, const Folder* areaOwner);

}  // namespace FileSync
