// SPDX-License-Identifier: GPL-3.0-or-later
// Everything the program keeps between runs, in one table: each value's section, key and the
// text read when nothing is stored.
//
// Stored files and registry entries depend on these spellings: a changed one loses what users
// have stored. The settings routines (FileControl.h) take every section and key from here.
#pragma once

#include <QLatin1String>
#include <QString>

namespace SettingsSchema {

enum class Setting {
    SourceFolder,            // the source folder box, as set through its "..." button
    DestinationFolder,       // the destination folder box, likewise
    FolderChangeOption,      // the watch option's check state
    PeriodMinutes,           // the minutes box, written at every edit and never read
    DestinationFileSystems,  // where each destination was last found or made
    StartHidden,             // "1" once the Hide button has been used
    StartAtLogon,            // the start-at-log-on option's check state
};

struct Row {
    Setting setting;
    QLatin1String section;
    QLatin1String key;
    QLatin1String defaultText;
    // The key is the name of the window's control that holds the value.
    bool keyedByControl;
};

const Row& RowOf(Setting setting);

// The row keyed by the control named `controlName`; null when no value of that control is
// stored.
const Row* ControlRow(const QString& controlName);

}  // namespace SettingsSchema
