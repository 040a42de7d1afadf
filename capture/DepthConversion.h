// Depth pixels to 3D points in PCL units, through the camera's own lens.
// One PCL unit is 8 m of depth:
//   z = floor(d / 8) / 1000            (the quotient rounded to float)
//   x = (column - cx) * cu * z         (in double, rounded once to float)
//   y = (cy - row) * cv * z
// with d = pixel >> 3 in millimetres and cu = 1 / fx, cv = 1 / fy, each
// held as a single-precision number (as the fixed inverse focal length of
// the default 320 x 240 frame, 0.003501, always was: with the default lens
// the points are exactly those of that frame's formula). A pixel is kept
// when d does not exceed the camera's depth limit; there is no lower bound,
// so d = 0..7 gives the point (0, 0, 0).
#pragma once

#include <cstdint>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "capture/VoxelThinning.h"
#include "settings/DepthFrameFormat.h"

namespace kestrova {

// floor(maxDepth * 8192 / 100), in double. A limit that is not a number
// keeps no pixel; beyond the int range it is clamped.
int DepthLimit(float maxDepthPercent);

// The per-pixel factors of a lens: cu = 1 / fx and cv = 1 / fy as floats.
float InverseFocalLength(double focalLength);

// Replaces `cloud` by the points of the frame's pixels (row after row,
// each row `format.rowStride` pixels from the last) whose depth is within
// `limit`, in pixel order; height 1. The cloud's storage is reused from
// frame to frame. The frame's format must be one the pipeline takes
// (DepthFormatProblem is empty). `bounds`, when given, receives the
// cloud's bounds as BoundsOf gives them.
void ConvertDepthFrame(const DepthFrameView& frame, int limit, pcl::PointCloud<pcl::PointXYZ>& cloud,
                       CloudBounds* bounds = nullptr);

}  // namespace kestrova
