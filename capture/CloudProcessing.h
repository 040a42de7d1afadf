// From one camera's raw cloud to the two clouds the engine keeps:
//   thin   pcl::VoxelGrid with a cubic leaf of 1/r metres in PCL units,
//          leaf = 1 / (r / (s * 100)), in the camera's own axes;
//   pose   M = T * Rz * Ry * Rx from the camera's pose (angles in degrees,
//          translation in cm times the calibration s);
//   crop   pcl::PassThrough on x, then y, then z, each limit the ROI bound
//          (cm) times s.
// Degenerate settings never hang or flood the log: when the leaf is not a
// positive finite number (a resolution or calibration of 0, below 0 or not
// finite), or so small that the voxel grid's indices would overflow, the
// cloud is not thinned (the voxel grid itself returns its input unchanged in
// the second case, with a warning on every frame). An empty cloud (a depth
// limit that keeps no pixel) gives two empty clouds without a word.
#pragma once

#include <Eigen/Geometry>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "settings/Settings.h"

namespace kestrova {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// The voxel edge in PCL units, as computed (may be infinite, 0 or negative).
float LeafSize(float calibration, float resolution);

// True when the voxel grid can thin `cloud` with `leaf`.
bool CanThin(const Cloud& cloud, float leaf);

// The pose transform of a camera at calibration `s`: each elementary
// rotation from the sine and cosine taken in double, stored as floats.
Eigen::Affine3f PoseTransform(const CameraSetting& camera, float s);

struct CropBox {
  float min[3];
  float max[3];
};
CropBox CropLimits(const OperatorSettings& settings);

// Thins, poses and crops one camera's cloud. `work` receives the thinned
// cloud in camera coordinates, `out` the posed and cropped one; `scratch`
// is reused storage. `raw` is only read.
void ProcessCloud(const Cloud& raw, const OperatorSettings& settings, const CameraSetting& camera,
                  Cloud& work, Cloud& out, Cloud& scratch);

}  // namespace kestrova
