// Depth pixels to 3D points in PCL units. One PCL unit is 8 m of depth:
//   z = floor(d / 8) / 1000            (the quotient rounded to float)
//   x = (column - 160) * c * z         (in double, rounded once to float)
//   y = (120 - row) * c * z
// with d = pixel >> 3 in millimetres and c = 0.003501 (a float), the inverse
// focal length of the 320 x 240 depth image. A pixel is kept when d does not
// exceed the camera's depth limit; there is no lower bound, so d = 0..7
// gives the point (0, 0, 0).
#pragma once

#include <cstdint>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace kestrova {

constexpr float kInverseFocalLength = 0.003501f;

// floor(maxDepth * 8192 / 100), in double. A limit that is not a number
// keeps no pixel; beyond the int range it is clamped.
int DepthLimit(float maxDepthPercent);

// Replaces `cloud` by the points of `pixelCount` pixels (row after row, 320
// per row) whose depth is within `limit`, in pixel order; height 1. The
// cloud's storage is reused from frame to frame.
void ConvertDepthFrame(const std::uint16_t* pixels, int pixelCount, int limit,
                       pcl::PointCloud<pcl::PointXYZ>& cloud);

}  // namespace kestrova
