#pragma once
// The program's emblem (a globe with a network plug), used as the window icon and in the
// About window. Built from the XPM in data/, so no image plugin is needed.

#include <QIcon>
#include <QPixmap>

// The 32x32 emblem.
QPixmap appPixmap();

// The emblem as an icon for window title bars.
QIcon appIcon();
