#include "capture/CloudProcessing.h"

#include <cmath>
#include <cstdint>

#include <pcl/common/transforms.h>

#include "capture/Angles.h"

namespace kestrova {

float LeafSize(float calibration, float resolution) {
  return static_cast<float>(1.0 / (static_cast<double>(resolution) /
                                   (static_cast<double>(calibration) * 100.0)));
}

// The elementary rotation about one axis, counter-clockwise. The sine and
// cosine are taken in double from the float angle and stored as floats, so
// every entry is the float nearest to the true value (the library's own
// builder takes the cosine in single precision, a float step off for some
// angles).
Eigen::Affine3f Rotation(int axis, float radians) {
  const float c = static_cast<float>(std::cos(static_cast<double>(radians)));
  const float s = static_cast<float>(std::sin(static_cast<double>(radians)));
  const int a = (axis + 1) % 3, b = (axis + 2) % 3;  // the plane the rotation turns
  Eigen::Affine3f r = Eigen::Affine3f::Identity();
  r(a, a) = c;
  r(a, b) = -s;
  r(b, a) = s;
  r(b, b) = c;
  return r;
}

Eigen::Affine3f PoseTransform(const CameraSetting& camera, float s) {
  const Eigen::Affine3f t(Eigen::Translation3f(camera.x * s, camera.y * s, camera.z * s));
  Eigen::Affine3f m = Eigen::Affine3f::Identity();
  m = Rotation(0, static_cast<float>(Radians(camera.rx))) * m;
  m = Rotation(1, static_cast<float>(Radians(camera.ry))) * m;
  m = Rotation(2, static_cast<float>(Radians(camera.rz))) * m;
  m = t * m;
  return m;
}

CropBox CropLimits(const OperatorSettings& o) {
  const float s = o.calibration;
  return {{o.xMin * s, o.yMin * s, o.zMin * s}, {o.xMax * s, o.yMax * s, o.zMax * s}};
}

namespace {

// The test of one pass through the limits: a coordinate that is not finite
// never passes, one on a limit does.
inline bool Within(float value, float low, float high) {
  return std::isfinite(value) && !(value < low) && !(value > high);
}

}  // namespace

void CropToBox(const Cloud& in, const CropBox& box, Cloud& out) {
  out.header = in.header;
  out.points.clear();
  for (const pcl::PointXYZ& p : in.points) {
    if (Within(p.x, box.min[0], box.max[0]) && Within(p.y, box.min[1], box.max[1]) &&
        Within(p.z, box.min[2], box.max[2]))
      out.points.push_back(p);
  }
  out.width = static_cast<std::uint32_t>(out.points.size());
  out.height = 1;
  out.is_dense = in.is_dense;
}

void CloudProcessor::Process(const Cloud& raw, const OperatorSettings& settings, const CameraSetting& camera,
                             Cloud& work, Cloud& out) {
  Process(raw, BoundsOf(raw), settings, camera, work, out);
}

void CloudProcessor::Process(const Cloud& raw, const CloudBounds& bounds, const OperatorSettings& settings,
                             const CameraSetting& camera, Cloud& work, Cloud& out) {
  // An empty cloud (a depth limit that keeps no pixel) passes silently: the
  // library's transform warns about every empty cloud it copies.
  if (raw.empty()) {
    work.clear();
    out.clear();
    return;
  }
  const float leaf = LeafSize(settings.calibration, settings.resolution);
  thinning_.setLeafSize(leaf);
  if (!thinning_.filter(raw, bounds, work)) work = raw;
  if (work.empty()) {
    out.clear();
    return;
  }
  pcl::transformPointCloud(work, posed_, PoseTransform(camera, settings.calibration));
  CropToBox(posed_, CropLimits(settings), out);
}

}  // namespace kestrova
