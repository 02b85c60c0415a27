// SPDX-License-Identifier: GPL-3.0-or-later
// What a tree run may be told about the folders it is about to walk: a journal of changes kept
// by someone who watched both trees since the last complete run began (the window does, the
// one-shot command line never).
#pragma once

#include <string_view>

namespace FileSync {

class ChangeJournal {
public:
    virtual ~ChangeJournal() = default;
    // True only when nothing in either folder, nor in any folder below them, has changed since
    // the last complete run began; the walk then leaves the pair alone without looking at it.
    // The paths are the ones the walk built for the pair (the tops as given, then one
    // separator and each name). Any doubt answers false.
    virtual bool Unchanged(std::string_view sourceFolder,
                           std::string_view destinationFolder) const = 0;
};

}  // namespace FileSync
