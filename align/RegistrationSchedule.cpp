#include "align/RegistrationSchedule.h"

#include <cmath>

#include <pcl/registration/correspondence_rejection_surface_normal.h>

namespace kestrova {

Eigen::Isometry3d Isometry(const Eigen::Matrix4f& m) {
  Eigen::Isometry3d out;
  out.matrix() = m.cast<double>();
  // Float products drift from a pure rotation; take the nearest one.
  Eigen::JacobiSVD<Eigen::Matrix3d> svd(out.linear(), Eigen::ComputeFullU | Eigen::ComputeFullV);
  out.linear() = svd.matrixU() * svd.matrixV().transpose();
  return out;
}

pcl::registration::CorrespondenceRejector::Ptr SameSideRejector() {
  auto rejector = std::make_shared<pcl::registration::CorrespondenceRejectorSurfaceNormal>();
  rejector->setThreshold(std::cos(45.0 * EIGEN_PI / 180.0));
  return rejector;
}

}  // namespace kestrova
