// From one camera's raw cloud to the two clouds the engine keeps:
//   thin   a cubic voxel grid with a leaf of 1/r metres in PCL units,
//          leaf = 1 / (r / (s * 100)), in the camera's own axes, cell for
//          cell as pcl::VoxelGrid (see VoxelThinning);
//   pose   M = T * Rz * Ry * Rx from the camera's pose (angles in degrees,
//          translation in cm times the calibration s), by
//          pcl::transformPointCloud;
//   crop   the points within the ROI box (cm times s) on x, y and z, each
//          limit inclusive and a coordinate that is not finite dropped, as
//          three pcl::PassThrough passes decide, in one pass.
// Degenerate settings never hang or flood the log: when the leaf is not a
// positive finite number (a resolution or calibration of 0, below 0 or not
// finite), or so small that the voxel grid's cell numbers would overflow,
// the cloud is not thinned (the library's voxel grid returns its input
// unchanged in the second case, with a warning on every frame). An empty
// cloud (a depth limit that keeps no pixel) gives two empty clouds without
// a word.
#pragma once

#include <Eigen/Geometry>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "capture/VoxelThinning.h"
#include "settings/Settings.h"

namespace kestrova {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// The voxel edge in PCL units, as computed (may be infinite, 0 or negative).
float LeafSize(float calibration, float resolution);

// The pose transform of a camera at calibration `s`: each elementary
// rotation from the sine and cosine taken in double, stored as floats.
Eigen::Affine3f PoseTransform(const CameraSetting& camera, float s);

struct CropBox {
  float min[3];
  float max[3];
};
CropBox CropLimits(const OperatorSettings& settings);

// Replaces `out` by the points of `in` within the box, in their order.
void CropToBox(const Cloud& in, const CropBox& box, Cloud& out);

// Thins, poses and crops one camera's clouds, frame after frame, reusing
// its buffers: no allocation once they have grown to a frame's size.
class CloudProcessor {
 public:
  // `work` receives the thinned cloud in camera coordinates, `out` the
  // posed and cropped one; `raw` is only read.
  void Process(const Cloud& raw, const OperatorSettings& settings, const CameraSetting& camera, Cloud& work,
               Cloud& out);
  // The same, with `raw`'s bounds known (see BoundsOf).
  void Process(const Cloud& raw, const CloudBounds& bounds, const OperatorSettings& settings,
               const CameraSetting& camera, Cloud& work, Cloud& out);

 private:
  VoxelThinning thinning_;
  Cloud posed_;
};

}  // namespace kestrova
