// Picking a point of the cameras' clouds under the pointer, for the scale
// calibration. Only cloud points can be picked (never the region box, the
// pick marker or the hint): of the points drawn within kPickRadius pixels of
// the click, those on the surface nearest the viewer count (a point lying
// further behind the nearest one than twice the pick circle's width, in the
// scene at that depth, is hidden by it), and of these the one nearest the
// click on the screen (the nearer to the viewer on a tie). No point that
// near: nothing is picked.
#pragma once

#include <Eigen/Core>
#include <array>
#include <vector>

#include "settings/Settings.h"

namespace kestrova {

inline constexpr double kPickRadius = 6.0;  // pixels

// How the view maps the scene onto the screen.
struct ScreenProjection {
  Eigen::Matrix4d worldToClip = Eigen::Matrix4d::Identity();  // homogeneous, clip x, y in -1..1
  int width = 1, height = 1;                                   // pixels
  Eigen::Vector3d eye = Eigen::Vector3d::Zero();               // the viewer's position
  Eigen::Vector3d forward = Eigen::Vector3d::UnitZ();          // the viewing direction, unit
  // The scene's size of one pixel: at depth 1 for a perspective view, or
  // anywhere for a parallel one.
  double pixelSize = 1.0;
  bool parallel = false;
};

struct PickedPoint {
  bool found = false;
  int camera = -1;  // slot 0..3
  std::size_t index = 0;
  Eigen::Vector3f point = Eigen::Vector3f::Zero();
};

// `clouds[slot]`: x, y, z of each point in turn, or null for a camera not
// shown. (clickX, clickY): pixels from the view's lower left corner.
PickedPoint PickCloudPoint(const std::array<const std::vector<float>*, kCameraCount>& clouds,
                           const ScreenProjection& view, double clickX, double clickY);

}  // namespace kestrova
