// Where the operator window and the Preview open, side by side on the
// screen's free area without covering each other: the Preview at the top
// left, as large as fits beside the window (4:3, at most 800 x 600 pixels),
// the window right of it. On a 1024 x 768 screen the Preview is 570 x 427.
// Positions are those of the window manager's frames, whose title bars and
// borders are allowed for.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace kestrova {

struct WindowPlaces {
  QPoint preview;      // the Preview frame's top left
  QSize previewSize;   // its drawing area
  QPoint window;       // the operator window frame's top left
};

// `available`: the screen's free area; `window`: the operator window's size.
WindowPlaces PlaceWindows(const QRect& available, const QSize& window);

}  // namespace kestrova
