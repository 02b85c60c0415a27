// SPDX-License-Identifier: GPL-3.0-or-later
// The walk of a tree run, from the two top folders down.
#pragma once

#include <string>

#include "Run.h"

namespace FileSync {

// Brings the tree at `destinationPath` up to date with the one at `sourcePath`; what failed is
// in the run's report.
void SyncTree(Run& run, const std::string& sourcePath, const std::string& destinationPath);

}  // namespace FileSync
