// Small helpers the alignment's steps share: which points carry a reading,
// a cloud's positions without normals, and a camera's plane seen in the
// common frame. Kept apart from the steps so that each step's file includes
// only the PCL modules it uses.
#pragma once

#include <Eigen/Geometry>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace kestrova {

// A point with a finite position in front of the camera.
bool HasReading(const pcl::PointXYZ& p);

// The positions of a cloud with normals.
pcl::PointCloud<pcl::PointXYZ> Positions(const pcl::PointCloud<pcl::PointNormal>& cloud);

// The plane n.p + d = 0 of a camera, seen in the common frame through `pose`.
Eigen::Vector4d PlaneInCommonFrame(const Eigen::Vector4d& plane, const Eigen::Isometry3d& pose);

}  // namespace kestrova
