// SPDX-License-Identifier: GPL-3.0-or-later
#include "SettingsSchema.h"

#include <algorithm>
#include <iterator>

namespace SettingsSchema {
namespace {

constexpr QLatin1String kControlSection("Settings");
constexpr QLatin1String kStartSection("start");
constexpr QLatin1String kNothing("");

// In the order of Setting.
constexpr Row kRows[] = {
    {Setting::SourceFolder, kControlSection, QLatin1String("txtSource"), kNothing, true},
    {Setting::DestinationFolder, kControlSection, QLatin1String("txtDestination"), kNothing, true},
    // "0" unchecked, "1" checked; an empty text leaves the box as designed.
    {Setting::FolderChangeOption, kControlSection, QLatin1String("chkFolderChange"), kNothing,
     true},
    {Setting::PeriodMinutes, kControlSection, QLatin1String("txtMins"), kNothing, true},
    // One line per destination: the file system's identity, a tab, the path as typed.
    {Setting::DestinationFileSystems, kControlSection, QLatin1String("destinationFileSystems"),
     kNothing, false},
    {Setting::StartHidden, kStartSection, QLatin1String("hide"), QLatin1String("0"), false},
    // Two spellings of this key are in use: the option's handler writes "autoBoot" and start-up
    // reads "autoboot". The store compares keys without regard to case, so both name this one
    // value; the written spelling is the one kept here, and the one new files get.
    {Setting::StartAtLogon, kStartSection, QLatin1String("autoBoot"), QLatin1String("0"), false},
};

constexpr bool RowsFollowTheEnum() {
    for (std::size_t i = 0; i < std::size(kRows); ++i)
        if (static_cast<std::size_t>(kRows[i].setting) != i)
            return false;
    return true;
}
static_assert(RowsFollowTheEnum(), "kRows must list the settings in the order of Setting");

}  // namespace

const Row& RowOf(Setting setting) {
    return kRows[static_cast<std::size_t>(setting)];
}

const Row* ControlRow(const QString& controlName) {
    const auto* row = std::find_if(std::begin(kRows), std::end(kRows), [&](const Row& candidate) {
        return candidate.keyedByControl && candidate.key == controlName;
    });
    return row == std::end(kRows) ? nullptr : row;
}

}  // namespace SettingsSchema
