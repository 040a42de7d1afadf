#include "app/WindowPlacement.h"

#include <algorithm>

namespace kestrova {

namespace {
constexpr int kGap = 8;               // between the windows and the screen's edges
constexpr int kTitleAllowance = 30;   // a window manager's title bar
constexpr int kBorderAllowance = 2;   // and its border, on each side
constexpr int kLargestPreviewWidth = 800;
constexpr int kSmallestPreviewWidth = 320;
}  // namespace

WindowPlaces PlaceWindows(const QRect& available, const QSize& window) {
  const int besideWindow =
      available.width() - (window.width() + 2 * kBorderAllowance) - 3 * kGap - 2 * kBorderAllowance;
  const int belowTitle = available.height() - 2 * kGap - kTitleAllowance - kBorderAllowance;
  int width = std::min({kLargestPreviewWidth, besideWindow, belowTitle * 4 / 3});
  width = std::max(width, kSmallestPreviewWidth);
  WindowPlaces places;
  places.previewSize = QSize(width, width * 3 / 4);
  places.preview = available.topLeft() + QPoint(kGap, kGap);
  places.window = QPoint(places.preview.x() + width + 2 * kBorderAllowance + kGap, places.preview.y());
  return places;
}

}  // namespace kestrova
