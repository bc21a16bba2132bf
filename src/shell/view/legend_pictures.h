#pragma once
// The two pictures of the Legend window, drawn in code: what each counter of the main window
// shows (Image2) and what the pictures of one client entry in the tree mean (Image1).

#include <QPixmap>
#include <QSize>

inline constexpr QSize kLegendCountersSize{149, 119};
inline constexpr QSize kLegendTreeSize{214, 91};

// Image2: the five counter captions, each beside a value box naming what it counts.
QPixmap legendCountersPixmap();

// Image1: one client entry of the tree with its four children and their pictures.
QPixmap legendTreePixmap();
