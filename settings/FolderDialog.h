// The platform's folder chooser behind BrowseForFolder.
#pragma once

#include "FileControl.h"

namespace FileControl {

// The modal folder dialog of the window toolkit.
FolderChooser& PlatformFolderChooser();

}  // namespace FileControl
