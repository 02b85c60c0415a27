// SPDX-License-Identifier: GPL-3.0-or-later
#include "DestinationRules.h"

#include <algorithm>

#include "FileCopy.h"

namespace FileSync {
namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
// The steps file systems are known to keep times in: FAT's two seconds, whole seconds,
// exFAT's ten milliseconds, milliseconds, microseconds, NTFS's 100 ns, and nanoseconds.
constexpr std::int64_t kKnownSteps[] = {2'000'000'000, 1'000'000'000, 10'000'000, 1'000'000,
                                        1'000,         100,           1};
// The probe's time: odd in every step above, and long past, so no clock reaches it by chance.
constexpr std::int64_t kProbeSeconds = 1'600'000'001;
constexpr std::uint32_t kProbeNanoseconds = 123'456'789;

std::int64_t TotalNanoseconds(const FileFacts& facts) {
    return facts.modifiedSeconds * kNanosecondsPerSecond + facts.modifiedNanoseconds;
}

std::int64_t FloorTo(std::int64_t value, std::int64_t step) {
    std::int64_t rest = value % step;
    return rest < 0 ? value - rest - step : value - rest;
}

bool SameTime(const FileFacts& a, const FileFacts& b) {
    return a.modifiedSeconds == b.modifiedSeconds && a.modifiedNanoseconds == b.modifiedNanoseconds;
}

std::string UpperCase(std::string name) {
    for (char& c : name)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return name;
}

// The name as a destination folding case holds it. Only ASCII letters are folded.
std::string Folded(std::string_view name) {
    std::string folded(name);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

// A temporary in `area`, thrown away however the probe ends.
class ProbeFile {
public:
    ProbeFile(FileSystem& fileSystem, const Folder& area, std::string name)
        : fileSystem_(fileSystem),
          file_(fileSystem.CreateTemporary(area, name, area.PathOf(name))),
          name_(std::move(name)) {}
    ~ProbeFile() { fileSystem_.DiscardTemporary(file_); }
    ProbeFile(const ProbeFile&) = delete;
    ProbeFile& operator=(const ProbeFile&) = delete;
    File& file() { return file_; }
    const std::string& name() const { return name_; }

private:
    FileSystem& fileSystem_;
    File file_;
    std::string name_;
};

// The step in which `probe` keeps an odd-second, odd-nanosecond time.
TimeStep KeptStep(FileSystem& fileSystem, File& probe) {
    FileFacts given;
    given.modifiedSeconds = kProbeSeconds;
    given.modifiedNanoseconds = kProbeNanoseconds;
    given.attributes = 0600;
    fileSystem.SetFileTimesAndAttributes(probe, given);
    FileFacts kept;
    fileSystem.GetFileFacts(probe, kept);
    for (std::int64_t step : kKnownSteps) {
        for (bool up : {false, true}) {
            const TimeStep candidate{step, up};
            if (SameTime(AtStep(given, candidate), kept))
                return candidate;
        }
    }
    return {};
}

}  // namespace

FileFacts AtStep(FileFacts facts, TimeStep step) {
    if (step.nanoseconds <= 1)
        return facts;
    const std::int64_t total = TotalNanoseconds(facts);
    std::int64_t kept = FloorTo(total, step.nanoseconds);
    if (step.roundsUp && kept != total)
        kept += step.nanoseconds;
    facts.modifiedSeconds = FloorTo(kept, kNanosecondsPerSecond) / kNanosecondsPerSecond;
    facts.modifiedNanoseconds =
        static_cast<std::uint32_t>(kept - facts.modifiedSeconds * kNanosecondsPerSecond);
    return facts;
}

FileFacts AtDestination(const FileFacts& source, const FileFacts& destination, TimeStep step) {
    constexpr std::int64_t kHour = 3600;
    FileFacts facts = AtStep(source, step);
    const std::int64_t apart = facts.modifiedSeconds - destination.modifiedSeconds;
    if (step.shiftsByAnHour && (apart == kHour || apart == -kHour) &&
        facts.modifiedNanoseconds == destination.modifiedNanoseconds &&
        facts.size == destination.size) {
        facts.modifiedSeconds = destination.modifiedSeconds;
    }
    return facts;
}

ProbeFindings ProbeDestination(FileSystem& fileSystem, const Folder& area, bool probeTimes,
                               bool probeCase) {
    ProbeFile probe(fileSystem, area, NewTemporaryName());
    ProbeFindings findings;
    if (probeTimes)
        findings.times = KeptStep(fileSystem, probe.file());
    FileFacts facts;
    findings.foldsCase = probeCase && fileSystem.GetFile(area, UpperCase(probe.name()), facts);
    return findings;
}

bool KeepInstalledTime(FileSystem& fileSystem, const Folder& folder, std::string_view name,
                       const FileFacts& given, TimeStep step) {
    const FileFacts wanted = AtStep(given, step);
    FileFacts kept;
    if (!fileSystem.GetFile(folder, name, kept) || SameTime(kept, wanted))
        return true;  // a file gone meanwhile is the next run's to copy again
    try {
        fileSystem.SetFileTimes(folder, name, given);
    } catch (const FileSystemError&) {
        return false;
    }
    return fileSystem.GetFile(folder, name, kept) && SameTime(kept, wanted);
}

void FoldedNames::Find(const FolderListing& listing) {
    clashes_.clear();
    std::vector<std::pair<std::string, std::string_view>> names;  // folded, as listed
    for (const auto& entry : listing.Entries())
        names.emplace_back(Folded(listing.Name(entry)), listing.Name(entry));
    std::sort(names.begin(), names.end());
    for (std::size_t first = 0, next = 1; next <= names.size(); ++next) {
        if (next < names.size() && names[next].first == names[first].first) {
            clashes_.push_back({std::string(names[next].second), std::string(names[first].second)});
            continue;
        }
        first = next;
    }
    std::sort(clashes_.begin(), clashes_.end(),
              [](const Clash& a, const Clash& b) { return a.loser < b.loser; });
}

bool FoldedNames::Loses(std::string_view name) const {
    auto found =
        std::lower_bound(clashes_.begin(), clashes_.end(), name,
                         [](const Clash& clash, std::string_view n) { return clash.loser < n; });
    return found != clashes_.end() && found->loser == name;
}

}  // namespace FileSync
