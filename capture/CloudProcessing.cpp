#include "capture/CloudProcessing.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include <pcl/common/common.h>
#include <pcl/common/transforms.h>
#include <pcl/filters/passthrough.h>
#include <pcl/filters/voxel_grid.h>

#include "capture/Angles.h"

namespace kestrova {

namespace {

// A shared pointer to a cloud the caller keeps alive: the filters read it
// in place, where a heap copy would give the same points.
Cloud::ConstPtr Borrow(const Cloud& cloud) { return Cloud::ConstPtr(Cloud::ConstPtr(), &cloud); }

}  // namespace

float LeafSize(float calibration, float resolution) {
  return static_cast<float>(1.0 / (static_cast<double>(resolution) /
                                   (static_cast<double>(calibration) * 100.0)));
}

bool CanThin(const Cloud& cloud, float leaf) {
  if (!std::isfinite(leaf) || leaf <= 0) return false;
  if (cloud.empty()) return true;
  // The voxel grid's own index-overflow test, done first so that it never
  // has to refuse (and warn) on every frame.
  Eigen::Vector4f minPoint, maxPoint;
  pcl::getMinMax3D(cloud, minPoint, maxPoint);
  const float inverse = 1.0f / leaf;
  std::int64_t cells = 1;
  for (int axis = 0; axis < 3; ++axis) {
    const float span = (maxPoint[axis] - minPoint[axis]) * inverse;
    if (!(span < static_cast<float>(std::numeric_limits<std::int32_t>::max()))) return false;
    cells *= static_cast<std::int64_t>(span) + 1;
    if (cells > std::numeric_limits<std::int32_t>::max()) return false;
  }
  return true;
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

void ProcessCloud(const Cloud& raw, const OperatorSettings& settings, const CameraSetting& camera,
                  Cloud& work, Cloud& out, Cloud& scratch) {
  // An empty cloud (a depth limit that keeps no pixel) passes silently: the
  // library's transform warns about every empty cloud it copies.
  if (raw.empty()) {
    work.clear();
    out.clear();
    return;
  }
  const float leaf = LeafSize(settings.calibration, settings.resolution);
  if (CanThin(raw, leaf)) {
    pcl::VoxelGrid<pcl::PointXYZ> grid;
    grid.setLeafSize(leaf, leaf, leaf);
    grid.setInputCloud(Borrow(raw));
    grid.filter(work);
  } else {
    work = raw;
  }
  if (work.empty()) {
    out.clear();
    return;
  }

  pcl::transformPointCloud(work, scratch, PoseTransform(camera, settings.calibration));

  // Three passes, ping-ponging between the two clouds so that no filter
  // reads the cloud it writes; the third one writes into `out`.
  const CropBox box = CropLimits(settings);
  static const char* const kFields[3] = {"x", "y", "z"};
  Cloud* input = &scratch;
  Cloud* output = &out;
  pcl::PassThrough<pcl::PointXYZ> pass;
  for (int axis = 0; axis < 3; ++axis) {
    pass.setFilterFieldName(kFields[axis]);
    pass.setFilterLimits(box.min[axis], box.max[axis]);
    pass.setInputCloud(Borrow(*input));
    pass.filter(*output);
    std::swap(input, output);
  }
}

}  // namespace kestrova
