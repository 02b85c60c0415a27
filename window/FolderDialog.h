// SPDX-License-Identifier: GPL-3.0-or-later
// The program's folder picker, the settings routines' companion in FileControl.
#pragma once

#include <QString>

class QWidget;

namespace FileControl {

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
// Installs `chooser` (not owned); null restores the toolkit's folder dialog, modal to its
// owner only.
void SetFolderChooser(FolderChooser* chooser);

}  // namespace FileControl
