// SPDX-License-Identifier: GPL-3.0-or-later
// Links of the source tree kept as links: how one is backed up.
#pragma once

#include <string_view>

#include "FileSystem.h"
#include "LinkRule.h"

namespace FileSync {

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
