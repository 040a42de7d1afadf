#include "align/AlignmentGeometry.h"

#include <cmath>

#include <pcl/common/io.h>

namespace kestrova {

bool HasReading(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z) && p.z > 0;
}

pcl::PointCloud<pcl::PointXYZ> Positions(const pcl::PointCloud<pcl::PointNormal>& cloud) {
  pcl::PointCloud<pcl::PointXYZ> out;
  pcl::copyPointCloud(cloud, out);
  return out;
}

Eigen::Vector4d PlaneInCommonFrame(const Eigen::Vector4d& plane, const Eigen::Isometry3d& pose) {
  const Eigen::Vector3d n = pose.linear() * plane.head<3>();
  return Eigen::Vector4d(n.x(), n.y(), n.z(), plane.w() - n.dot(pose.translation()));
}

}  // namespace kestrova
