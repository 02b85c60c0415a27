// SPDX-License-Identifier: GPL-3.0-or-later
// One file's copy and the temporary area. The file-system layer gives the primitives; which
// names temporaries get, where they go, when one may be removed and when a copy may be
// installed is decided here, once for every platform.
#include "FileCopy.h"

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>
#include <system_error>

#include "Comparison.h"
#include "PairReading.h"

namespace FileSync {
namespace {

constexpr std::string_view kTemporaryPrefix = ".tavrick-partial-";
constexpr int kAttempts = 3;

// A name no user file plausibly carries: the prefix and 64 random bits.
std::string TemporaryName() {
    thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string name(kTemporaryPrefix);
    std::uint64_t bits = random();
    for (int i = 0; i < 16; ++i, bits >>= 4)
        name += kDigits[bits & 15];
    return name;
}

// Whether `name` is one the engine gives its temporaries (earlier versions wrote
// "<prefix><pid>-<sequence>"; those are the engine's too).
bool IsTemporaryName(std::string_view name) {
    if (!name.starts_with(kTemporaryPrefix) || name.size() == kTemporaryPrefix.size())
        return false;
    for (char c : name.substr(kTemporaryPrefix.size()))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-'))
            return false;
    return true;
}

bool Is(const FileSystemError& error, std::errc code) {
    return error.code() == std::make_error_condition(code);
}

// The facts that tell whether a file was written to between two looks at it.
bool Changed(const FileFacts& before, const FileFacts& after) {
    return before.size != after.size || before.modifiedSeconds != after.modifiedSeconds ||
           before.modifiedNanoseconds != after.modifiedNanoseconds ||
           before.changedSeconds != after.changedSeconds ||
           before.changedNanoseconds != after.changedNanoseconds;
}

// A temporary being written; thrown away unless it was installed.
class Temporary {
public:
    Temporary(FileSystem& fileSystem, File file)
        : fileSystem_(fileSystem), file_(std::move(file)) {}
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() { fileSystem_.DiscardTemporary(file_); }
    File& file() { return file_; }

private:
    FileSystem& fileSystem_;
    File file_;
};

// Where a temporary is made: nowhere yet, without a name in the target folder, in the
// temporary area, or under a random name in the target folder.
enum class Place { Unnamed, Area, TargetFolder };

class FileCopier {
public:
    FileCopier(FileSystem& fileSystem, const CopyRequest& request,
               const std::function<bool()>& betweenSlices)
        : fs_(fileSystem),
          request_(request),
          betweenSlices_(betweenSlices),
          targetPath_(request.to.PathOf(request.name)),
          place_(request.target == TargetSeen::Missing ? Place::Unnamed
                 : request.areaOwner                   ? Place::Area
                                                       : Place::TargetFolder) {}

    CopyResult Run() {
        if (request_.target == TargetSeen::Unsure && !MayStart())
            return {CopyOutcome::LeftAlone, 0, {}};
        for (int attempt = 0; attempt < kAttempts;) {
            FileFacts before;
            File source = fs_.OpenFile(request_.from, request_.name, before);
            Folder area;
            Temporary temporary(fs_, Create(area));
            std::uint64_t copied = 0;
            if (!CopyData(source, temporary.file(), before.size, copied))
                return {CopyOutcome::Abandoned, 0, {}};
            // The copy's end, by the destination's clock: any later write to the source gets
            // at least this time.
            FileFacts written;
            fs_.GetFileFacts(temporary.file(), written);
            FileFacts after;
            fs_.GetFileFacts(source, after);
            if (Changed(before, after) || copied != before.size) {
                ++attempt;
                continue;
            }
            const FileFacts given = FinalFacts(before, written);
            fs_.SetFileTimesAndAttributes(temporary.file(), given);
            switch (Install(temporary.file(), before)) {
                case Step::Installed:
                    return {CopyOutcome::Copied, copied, given};
                case Step::Kept:
                    return {CopyOutcome::LeftAlone, 0, {}};
                case Step::Again:
                    break;
            }
        }
        return {CopyOutcome::KeptChanging, 0, {}};
    }

private:
    enum class Step { Installed, Kept, Again };

    // A target the comparison could not make out is looked at before any data is copied: a
    // link or a newer file there ends the copy at once.
    bool MayStart() {
        FileFacts source;
        if (!fs_.GetFile(request_.from, request_.name, source))
            return true;  // gone from the source: the copy's own open says why
        TargetVerdict verdict =
            MayInstallOver(fs_, request_.to, request_.name, source, request_.targetTimes);
        if (verdict == TargetVerdict::Create)
            place_ = Place::Unnamed;
        return verdict != TargetVerdict::Keep;
    }

    File Create(Folder& area) {
        for (int areaGone = 0;;) {
            try {
                switch (place_) {
                    case Place::Unnamed:
                        return fs_.CreateTemporary(request_.to, {}, targetPath_);
                    case Place::Area:
                        area = OpenArea();
                        return fs_.CreateTemporary(area, TemporaryName(), targetPath_);
                    case Place::TargetFolder:
                        return fs_.CreateTemporary(request_.to, TemporaryName(), targetPath_);
                }
            } catch (const FileSystemError& error) {
                // Another run's clean-up may remove the empty area between its opening and
                // the temporary's creation: it is made again.
                if (place_ == Place::Area && Is(error, std::errc::no_such_file_or_directory) &&
                    ++areaGone < kAttempts)
                    continue;
                // Each place that cannot take the temporary hands on to the next one.
                if (place_ == Place::TargetFolder ||
                    (place_ == Place::Unnamed && !Is(error, std::errc::operation_not_supported)))
                    throw;
                place_ = Next(place_);
            }
        }
    }

    Place Next(Place place) const {
        return place == Place::Unnamed && request_.areaOwner ? Place::Area : Place::TargetFolder;
    }

    Folder OpenArea() {
        bool created = false;
        return fs_.CreateSubFolder(*request_.areaOwner, kTemporaryArea, 0700, created);
    }

    // Copies the data in slices; false when the caller asked to stop in between.
    bool CopyData(const File& source, const File& target, std::uint64_t size,
                  std::uint64_t& copied) {
        while (copied < size) {
            std::uint64_t step =
                fs_.CopyFileData(source, target, copied, std::min(kCopySlice, size - copied));
            if (step == 0)
                return true;  // shorter than it was: the check after the copy sees why
            copied += step;
            if (copied < size && betweenSlices_ && !betweenSlices_())
                return false;
        }
        return true;
    }

    // The source's facts as the copy gets them. A source modified in the second the copy ended
    // may be written again within that second without its whole-second time changing: its copy
    // gets a second less, so the next run copies it again. Set-id bits go with the owner.
    static FileFacts FinalFacts(const FileFacts& source, const FileFacts& written) {
        FileFacts facts = source;
        if (source.modifiedSeconds == written.changedSeconds)
            facts.modifiedSeconds -= 1;
        if (source.owner != written.owner)
            facts.attributes &= ~std::uint32_t{06000};
        return facts;
    }

    // Gives the finished temporary the target's name when the target, looked at again now,
    // lets it. Again when the copy must be made anew: the name was taken between the look and
    // the install, or the temporary's place cannot reach or replace the target.
    Step Install(File& temporary, const FileFacts& source) {
        TargetVerdict verdict =
            MayInstallOver(fs_, request_.to, request_.name, source, request_.targetTimes);
        if (verdict == TargetVerdict::Keep)
            return Step::Kept;
        bool replace = verdict == TargetVerdict::Replace;
        if (replace && place_ == Place::Unnamed) {
            place_ = Next(place_);  // a temporary without a name only ever takes a free name
            return Step::Again;
        }
        try {
            fs_.InstallTemporary(temporary, request_.to, request_.name, replace);
            return Step::Installed;
        } catch (const FileSystemError& error) {
            bool taken = !replace && Is(error, std::errc::file_exists) && ++taken_ < kAttempts;
            bool elsewhere =
                (place_ == Place::Unnamed && Is(error, std::errc::operation_not_supported)) ||
                (place_ == Place::Area && Is(error, std::errc::cross_device_link));
            if (!taken && !elsewhere)
                throw;
            if (place_ == Place::Unnamed || elsewhere)
                place_ = Next(place_);
            return Step::Again;
        }
    }

    FileSystem& fs_;
    const CopyRequest& request_;
    const std::function<bool()>& betweenSlices_;
    std::string targetPath_;
    Place place_;
    int taken_ = 0;  // how often the name was taken between the look and the install
};

}  // namespace

LinkInDestinationError::LinkInDestinationError(std::string path)
    : FileSystemError(ELOOP, std::move(path)) {}

TargetVerdict MayInstallOver(FileSystem& fileSystem, const Folder& to, std::string_view name,
                             const FileFacts& source, TimeStep targetTimes) {
    FileFacts target;
    FolderIdentity identity;
    switch (fileSystem.LookAt(to, name, target, identity)) {
        case EntryKind::Missing:
            return TargetVerdict::Create;
        case EntryKind::File:
            return MustCopy(CompareFileFacts(AtDestination(source, target, targetTimes), target))
                       ? TargetVerdict::Replace
                       : TargetVerdict::Keep;
        case EntryKind::Link:
            throw LinkInDestinationError(to.PathOf(name));
        case EntryKind::Folder:
            throw FileSystemError(EISDIR, to.PathOf(name));
        case EntryKind::Other:
            break;
    }
    return TargetVerdict::Replace;  // a FIFO, socket or device by that name gives way
}

Folder CreateDestinationFolder(FileSystem& fileSystem, const Folder& parent, std::string_view name,
                               std::uint32_t attributes, bool& created) {
    try {
        return fileSystem.CreateSubFolder(parent, name, attributes, created);
    } catch (const FileSystemError& error) {
        if (error.code() == std::make_error_condition(std::errc::too_many_symbolic_link_levels))
            throw LinkInDestinationError(error.Path());
        throw;
    }
}

std::string NewTemporaryName() {
    return TemporaryName();
}

CopyResult CopyOneFile(FileSystem& fileSystem, const CopyRequest& request,
                       const std::function<bool()>& betweenSlices) {
    return FileCopier(fileSystem, request, betweenSlices).Run();
}

void ClearTemporaryArea(FileSystem& fileSystem, const Folder& owner) {
    Folder area;
    try {
        area = fileSystem.GetSubFolderNoFollow(owner, kTemporaryArea);
    } catch (const FileSystemError&) {
        return;  // no area, or something of the user's by that name
    }
    if (area.Identity().device != owner.Identity().device)
        return;  // a link to elsewhere is not the engine's
    FolderListing listing;
    fileSystem.List(area, listing);
    for (const auto& entry : listing.Entries()) {
        if (!IsTemporaryName(listing.Name(entry)))
            continue;
        // A link is only ever there for the instant between its making and its renaming.
        if (entry.kind == FolderListing::Kind::File)
            fileSystem.RemoveUnusedFile(area, listing.Name(entry));
        else if (entry.kind == FolderListing::Kind::Link)
            fileSystem.RemoveLink(area, listing.Name(entry));
    }
    area = Folder();
    // Fails, as it should, while a copy's temporary is in there.
    fileSystem.RemoveEmptySubFolder(owner, kTemporaryArea);
}

}  // namespace FileSync
