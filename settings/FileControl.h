// SPDX-License-Identifier: GPL-3.0-or-later
// The program's settings routines and folder picker.
//
// Settings are text values under (application, section, key); the application is the
// executable's base name. Control values live in section "Settings" under the control's
// objectName; the start-up flags live in section "start".
#pragma once

#include <QString>

class QObject;
class QWidget;

namespace FileControl {

// Stores `value` under ("Settings", the control's objectName).
void SaveControlSetting(const QObject& control, const QString& value);
// The text stored under ("Settings", the control's objectName), or the empty text.
QString LoadControlSetting(const QObject& control);

// Direct access to the store, as used for section "start". Section and key names compare
// without regard to case.
void SaveSetting(const QString& section, const QString& key, const QString& value);
QString GetSetting(const QString& section, const QString& key, const QString& defaultValue);

// Stored texts as numbers. Anyone may edit the file, so these never fail: surrounding spaces
// are ignored, and a text that is not what is expected counts as 0 (false, unchecked).
// A decimal integer from -32768 to 32767; anything else (empty, words, fractions, out of range)
// is 0.
qint16 SettingToInt16(const QString& text);
// "true"/"false" in any case, or a number that is true when it is not zero; anything else is
// false.
bool SettingToBool(const QString& text);
// A check box state: 0 unchecked, 1 checked, 2 greyed; any other text is 0.
int SettingToCheckState(const QString& text);

// Shows the modal folder chooser owned by `owner`, titled "选择文件夹...". Returns the chosen
// folder's path with native separators and no trailing separator except on a root ("/"), or
// the empty text when the user cancels.
QString BrowseForFolder(QWidget* owner);

// The chooser behind BrowseForFolder; tests replace it.
class FolderChooser {
public:
    virtual ~FolderChooser() = default;
    virtual QString chooseFolder(QWidget* owner, const QString& title) = 0;
};
// Installs `chooser` (not owned); null restores the platform's dialog.
void SetFolderChooser(FolderChooser* chooser);

}  // namespace FileControl
