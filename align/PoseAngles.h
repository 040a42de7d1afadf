// Between a camera's pose numbers (x, y, z in cm; rx, ry, rz in degrees)
// and its rigid transform M = T * Rz(rz) * Ry(ry) * Rx(rx), the pipeline's
// pose convention, with the translation in PCL units (cm times the
// calibration).
//
// Going back from a matrix to angles has two solutions in general (ry and
// 180 - ry); the one nearer the typed angles is kept. At ry = +-90 degrees
// only rx - rz (at +90) or rx + rz (at -90) is defined: rx is kept as typed
// and rz takes the rest. A rotation within 0.2 degrees of ry = +-90 is always
// given exactly +-90 that way, whatever the typed angles, since there
// the single angles swing wildly with the smallest change of the matrix:
// Align's results for the simulated cameras at ry = +-90 lie 0.06 to 0.12
// degrees off it from run to run, and their exact angles then differ from
// the typed ones by up to 40 degrees in rx and rz.
#pragma once

#include <Eigen/Geometry>

#include "settings/Settings.h"

namespace kestrova {

// The pose transform in double precision.
Eigen::Isometry3d PoseMatrix(const CameraSetting& camera, double calibration);

// The pose numbers of `pose` at `calibration`; colour and depth limit, and
// the choice among equivalent angles, come from `typed`.
CameraSetting PoseFromMatrix(const Eigen::Isometry3d& pose, double calibration,
                             const CameraSetting& typed);

// The angle of the rotation between two rotations, in degrees.
double RotationAngleDegrees(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b);

}  // namespace kestrova
