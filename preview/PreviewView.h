// Where the Preview looks from. It opens looking at the middle of the
// region box from the front (the -z side, where camera 1 stands) and from
// above, tilted down by kOpeningElevation, just far enough away that every
// corner of the box lies within kOpeningFill of the view's half-width and
// half-height: the box fills most of the view whatever its size or the
// calibration. The wheel zooms towards the point under the pointer.
#pragma once

#include <Eigen/Core>

namespace kestrova {

struct PreviewCamera {
  Eigen::Vector3d position = Eigen::Vector3d::Zero();
  Eigen::Vector3d focalPoint = Eigen::Vector3d::Zero();
  Eigen::Vector3d viewUp = Eigen::Vector3d::UnitY();
};

inline constexpr double kPreviewViewAngle = 30.0;  // degrees, vertical (VTK's default)
inline constexpr double kOpeningElevation = 20.0;  // degrees above the horizontal
inline constexpr double kOpeningFill = 0.9;        // of the view's half-width and half-height

// `box`: x min, x max, y min, y max, z min, z max in PCL units; `aspect`:
// the view's width over its height.
PreviewCamera OpeningView(const float box[6], double aspect);

// The view moved towards `target` (factor above 1) or away from it (below
// 1), so that `target` stays at the same place on the screen.
PreviewCamera ZoomTowards(const PreviewCamera& camera, const Eigen::Vector3d& target, double factor);

}  // namespace kestrova
