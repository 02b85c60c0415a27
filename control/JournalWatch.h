// SPDX-License-Identifier: GPL-3.0-or-later
// One platform's watch over the two trees of a change journal, without Qt: it fills the trees'
// marks as the platform reports changes (JournalTree.h). The trust rules are the journal's
// (FolderJournal.h); a platform only watches, drains and says when it may have missed something.
#pragma once

#include <memory>
#include <string>

#include "control/JournalTree.h"

namespace Journal {

// More folders than this in the two trees together and the journal is not kept: its memory
// (see JournalTree.h, and about 1 KiB of kernel memory per watch on Linux) stays bounded.
inline constexpr std::size_t kMaxFolders = 100'000;

class JournalWatch {
public:
    struct Trouble {
        // Empty while every change has been seen; else why one may have been missed.
        std::string reason;
        // The journal cannot be had for these trees at all (a file system whose changes the
        // kernel does not see, the watch limit); otherwise watching anew may help.
        bool lasting = false;
    };

    // Whether every folder of a watched tree has a node: each folder watched on its own.
    static bool KnowsEveryFolder();
    // Whether the window's runs use a journal unless told otherwise: only where the platform's
    // watch has been shown to report every change before the call that made it returns.
    static bool OnByDefault();
    // Starts watching both trees; what is found while starting carries no mark. Null, with
    // `trouble` filled in, when the trees cannot be watched.
    static std::unique_ptr<JournalWatch> Open(JournalTree& source, JournalTree& destination,
                                              Trouble& trouble);

    virtual ~JournalWatch() = default;
    // Takes in what the platform queued since the last drain, marking it with `mark`; never
    // blocks. Once trouble is reported the watch is of no further use.
    virtual Trouble Drain(Mark mark) = 0;
};

}  // namespace Journal
