// SPDX-License-Identifier: GPL-3.0-or-later
// What a destination file system keeps of what the engine writes, and the rules that follow
// from it: the step its modification times are stored in, whether a time set on a copy held,
// and which source names it would hold as one because it does not tell letter case apart.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FileSystem.h"

namespace FileSync {

// The step a file system stores modification times in, and which way it rounds a time that
// falls between two steps.
struct TimeStep {
    std::int64_t nanoseconds = 1;  // 1: kept exactly
    bool roundsUp = false;
    // Local time read with today's daylight-saving offset (FAT): a copy's time exactly an hour
    // off its source's, at the same size, is the same time seen across a change of season.
    bool shiftsByAnHour = false;
    bool operator==(const TimeStep&) const = default;
};

// `facts` with its modification time as a file system of that step stores it.
FileFacts AtStep(FileFacts facts, TimeStep step);
// `source` as the destination file `destination` of that step would hold it unchanged: at its
// step, and with the destination's time where that is the source's shifted by exactly an hour.
FileFacts AtDestination(const FileFacts& source, const FileFacts& destination, TimeStep step);

// What one probe in `area` (a folder the engine may write temporaries in) found of its file
// system. The probe is one temporary with a lower-case name.
struct ProbeFindings {
    // The time step: the temporary gets an odd-second, odd-nanosecond time, read back. A time
    // kept in no step known here counts as exact; the read-back after each copy then says so.
    TimeStep times;
    // Whether names equal but for case are one name: the temporary is looked for upper-case.
    bool foldsCase = false;
};
ProbeFindings ProbeDestination(FileSystem& fileSystem, const Folder& area, bool probeTimes,
                               bool probeCase);

// Checks, after a copy was installed as `name` in `folder`, that the file keeps the time
// `given` (as a file system of that step keeps it); where it does not, sets it again through
// the name, as file systems that reset the time when the file is closed need. False when the
// time still does not hold.
bool KeepInstalledTime(FileSystem& fileSystem, const Folder& folder, std::string_view name,
                       const FileFacts& given, TimeStep step);

// The names of one source folder that a destination folding case would hold as one. In each
// group of names that fold together the first in byte order wins, whatever the listing order;
// the others lose and are neither copied nor walked.
class FoldedNames {
public:
    struct Clash {
        std::string loser;
        std::string winner;
    };
    // Finds the clashes among all files and subfolders of `listing`.
    void Find(const FolderListing& listing);
    bool Loses(std::string_view name) const;
    const std::vector<Clash>& Clashes() const { return clashes_; }

private:
    std::vector<Clash> clashes_;  // sorted by loser
};

}  // namespace FileSync
