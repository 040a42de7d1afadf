// The registrations a camera's pose is refined with, one per file: each
// instantiates PCL's registration templates on its own, so that no single
// file of the build needs much more than a gigabyte or half a minute.
// Each registers `source` onto `target` over the distance schedule (cm),
// starting from `start`.
#pragma once

#include <vector>

#include <Eigen/Geometry>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace kestrova {

using NormalCloud = pcl::PointCloud<pcl::PointNormal>;

// Point to plane, pairs of points on opposite sides of a thin object rejected.
Eigen::Isometry3d RegisterPointToPlane(const NormalCloud::ConstPtr& source, const NormalCloud::ConstPtr& target,
                                       const Eigen::Isometry3d& start, const std::vector<double>& scheduleCm,
                                       int iterations);
// Generalized ICP (plane to plane) on the positions alone.
Eigen::Isometry3d RegisterGeneralized(const NormalCloud::ConstPtr& source, const NormalCloud::ConstPtr& target,
                                      const Eigen::Isometry3d& start, const std::vector<double>& scheduleCm,
                                      int iterations);
// Point to point.
Eigen::Isometry3d RegisterPointToPoint(const NormalCloud::ConstPtr& source, const NormalCloud::ConstPtr& target,
                                       const Eigen::Isometry3d& start, const std::vector<double>& scheduleCm,
                                       int iterations);

}  // namespace kestrova
