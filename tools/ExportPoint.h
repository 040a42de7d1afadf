// The point of a merged export: position, its camera's preview colour, and
// the camera's number (1..4) as a field of its own, so cameras stay apart
// whatever their colours. PCD and PLY files carry it as an unsigned byte
// "camera"; readers that do not know the field skip it.
#pragma once

#define PCL_NO_PRECOMPILE
#include <cstdint>

#include <pcl/point_types.h>
#include <pcl/register_point_struct.h>

namespace kestrova {

struct EIGEN_ALIGN16 CameraPoint {
  PCL_ADD_POINT4D;
  PCL_ADD_RGB;
  std::uint8_t camera;
  PCL_MAKE_ALIGNED_OPERATOR_NEW
};

}  // namespace kestrova

POINT_CLOUD_REGISTER_POINT_STRUCT(kestrova::CameraPoint,
                                  (float, x, x)(float, y, y)(float, z, z)(float, rgb, rgb)(
                                      std::uint8_t, camera, camera))
