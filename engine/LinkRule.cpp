// SPDX-License-Identifier: GPL-3.0-or-later
#include "LinkRule.h"

namespace FileSync {
namespace {

// Whether `path` is `root` or lies below it. An unknown (empty) path is inside nothing.
bool IsWithin(const std::string& path, const std::string& root) {
    if (path.empty() || root.empty() || !path.starts_with(root))
        return false;
    if (path.size() == root.size())
        return true;
    char last = root.back();
    char next = path[root.size()];
    return last == '/' || last == '\\' || next == '/' || next == '\\';
}

}  // namespace

void LinkRule::SetTops(std::string source, std::string destination) {
    roots_.clear();
    roots_.push_back(std::move(source));
    destinationTop_ = std::move(destination);
}

LinkAction LinkRule::Decide(const LinkTarget& target) const {
    if (target.kind == FolderListing::Kind::Link || target.onPseudoFileSystem ||
        target.path.empty())
        return LinkAction::Keep;
    for (const std::string& root : roots_)
        if (IsWithin(target.path, root) || IsWithin(root, target.path))
            return LinkAction::Keep;
    if (IsWithin(destinationTop_, target.path))
        return LinkAction::Keep;
    return target.kind == FolderListing::Kind::File ? LinkAction::FollowFile
                                                    : LinkAction::FollowFolder;
}

}  // namespace FileSync
