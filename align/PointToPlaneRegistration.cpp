#include <pcl/registration/icp.h>

#include "align/RegistrationSchedule.h"
#include "align/Registrations.h"

namespace kestrova {

Eigen::Isometry3d RegisterPointToPlane(const NormalCloud::ConstPtr& source, const NormalCloud::ConstPtr& target,
                                       const Eigen::Isometry3d& start, const std::vector<double>& scheduleCm,
                                       int iterations) {
  pcl::IterativeClosestPointWithNormals<pcl::PointNormal, pcl::PointNormal> icp;
  icp.addCorrespondenceRejector(SameSideRejector());
  icp.setInputSource(source);
  icp.setInputTarget(target);
  return RunSchedule(icp, start, scheduleCm, iterations);
}

}  // namespace kestrova
