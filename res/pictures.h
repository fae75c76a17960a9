#pragma once

#include <QPixmap>

// The loader's own pictures, drawn in code (this file's .cpp is their source):
//   128 application icon (32 px), 140 device absent and 141 device present (20 px),
//   149 Reload and 150 Open (16 px), 151 Download (32 px), 133 banner bitmap (420 x 80, black
//   is its transparent colour). An unknown id gives a null pixmap.
QPixmap Picture(int id);

// The application icon at any size (for the window and the desktop file).
QPixmap ApplicationIcon(int size);
