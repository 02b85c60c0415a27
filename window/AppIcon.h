// The program's icon: a folder with a copy arrow, drawn here at 32 x 32.
#pragma once

#include <QIcon>
#include <QPixmap>

QPixmap DrawAppIconPixmap();
QIcon AppIcon();
