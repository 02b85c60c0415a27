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

// Shows the modal folder chooser owned by `owner`, titled "选择文件夹...". Returns the chosen
// folder's path, or the empty text when the user cancels.
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
