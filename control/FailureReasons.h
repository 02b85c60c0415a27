// SPDX-License-Identifier: GPL-3.0-or-later
// The reasons the window gives for what a backup could not copy, in the window's language.
#pragma once

#include <QString>

#include "engine/FileSync.h"

// The Chinese reason for `failure`: the engine's own findings by their kind, the system's
// refusals by their error code; a code without an entry of its own falls back to a general
// text that keeps the system's English words.
QString ReasonText(const FileSync::RunFailure& failure);
