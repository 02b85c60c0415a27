// SPDX-License-Identifier: GPL-3.0-or-later
// The program's icon: a folder with a copy arrow, drawn by code at any size.
#pragma once

#include <QIcon>
#include <QPixmap>

#include <array>

// The sizes the icon is drawn at, for the window, the tray and the desktop's icon theme.
inline constexpr std::array kAppIconSizes = {16, 22, 24, 32, 48, 64, 128, 256};

// The icon drawn `size` pixels square.
QPixmap DrawAppIconPixmap(int size);
// The icon at every size of kAppIconSizes and at twice the sizes up to 128, so the platform
// finds a drawn pixmap for every size it asks for, also on a screen scaled by 2.
QIcon AppIcon();
// The icon with a small warning mark, shown in the tray while the last backup had failures.
QIcon AppIconWithFailureMark();
