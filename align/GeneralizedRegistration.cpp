#include <pcl/registration/gicp.h>

#include "align/AlignmentGeometry.h"
#include "align/RegistrationSchedule.h"
#include "align/Registrations.h"

namespace kestrova {

Eigen::Isometry3d RegisterGeneralized(const NormalCloud::ConstPtr& source, const NormalCloud::ConstPtr& target,
                                      const Eigen::Isometry3d& start, const std::vector<double>& scheduleCm,
                                      int iterations) {
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;
  pcl::GeneralizedIterativeClosestPoint<pcl::PointXYZ, pcl::PointXYZ> gicp;
  gicp.setInputSource(Cloud::Ptr(new Cloud(Positions(*source))));
  gicp.setInputTarget(Cloud::Ptr(new Cloud(Positions(*target))));
  return RunSchedule(gicp, start, scheduleCm, iterations);
}

}  // namespace kestrova
