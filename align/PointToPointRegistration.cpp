#include <pcl/registration/icp.h>

#include "align/RegistrationSchedule.h"
#include "align/Registrations.h"

namespace kestrova {

Eigen::Isometry3d RegisterPointToPoint(const NormalCloud::ConstPtr& source, const NormalCloud::ConstPtr& target,
                                       const Eigen::Isometry3d& start, const std::vector<double>& scheduleCm,
                                       int iterations) {
  pcl::IterativeClosestPoint<pcl::PointNormal, pcl::PointNormal> icp;
  icp.setInputSource(source);
  icp.setInputTarget(target);
  return RunSchedule(icp, start, scheduleCm, iterations);
}

}  // namespace kestrova
