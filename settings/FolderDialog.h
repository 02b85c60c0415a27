// SPDX-License-Identifier: GPL-3.0-or-later
// The platform's folder chooser behind BrowseForFolder.
#pragma once

#include "FileControl.h"

namespace FileControl {

// The folder dialog of the window toolkit, modal to its owner only.
FolderChooser& PlatformFolderChooser();

}  // namespace FileControl
