// SPDX-License-Identifier: GPL-3.0-or-later
#include "SourceLinks.h"

#include <cerrno>

#include "FileCopy.h"

namespace FileSync {
namespace {

bool CannotHoldLinks(const FileSystemError& error) {
    int code = error.code().value();
    return code == EPERM || code == EOPNOTSUPP || code == ENOSYS;
}

}  // namespace

LinkOutcome CopyLink(FileSystem& fileSystem, const Folder& from, std::string_view name,
                     const Folder& to, bool toFolder, const Folder* areaOwner) {
    std::string text;
    if (fileSystem.ReadLink(from, name, text) != NameHolds::Link)
        return LinkOutcome::Unchanged;  // gone since the listing: the next run sees what it is
    std::string existing;
    NameHolds there = fileSystem.ReadLink(to, name, existing);
    if (there == NameHolds::Other)
        return LinkOutcome::OtherKindThere;
    if (there == NameHolds::Link && existing == text)
        return LinkOutcome::Unchanged;
    Folder area;
    if (areaOwner && areaOwner->Identity().device == to.Identity().device) {
        bool created = false;
        area = fileSystem.CreateSubFolder(*areaOwner, kTemporaryArea, 0700, created);
    }
    const Folder& place = area.IsOpen() ? area : to;
    const std::string temporary = NewTemporaryName();
    try {
        fileSystem.CreateLink(place, temporary, text, toFolder);
    } catch (const FileSystemError& error) {
        if (CannotHoldLinks(error))
            return LinkOutcome::NotSupported;
        throw;
    }
    try {
        fileSystem.InstallLink(place, temporary, to, name, there == NameHolds::Link);
    } catch (const FileSystemError&) {
        fileSystem.RemoveLink(place, temporary);
        throw;
    }
    return LinkOutcome::Made;
}

}  // namespace FileSync
