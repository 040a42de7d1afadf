// A levelled camera turned and slid on the floor until what stands on it
// meets what the placed cameras see there.
#include <pcl/common/centroid.h>
#include <pcl/common/transforms.h>
#include <pcl/kdtree/kdtree_flann.h>
#include <pcl/registration/icp.h>
#include <pcl/registration/transformation_estimation_2D.h>

#include "align/CameraAlignment.h"
#include "align/RegistrationSchedule.h"

namespace kestrova {

namespace {
using CloudN = CameraAlignment::CloudN;
}  // namespace

Eigen::Isometry3d CameraAlignment::PlaceOnFloor(const Camera& camera, const Eigen::Isometry3d& pose,
                                                const Eigen::Vector4d& floor,
                                                const Selection& targets) const {
  // The floor's frame: the floor is z = 0, up is +z.
  const Eigen::Vector3d up = floor.head<3>();
  const Eigen::Isometry3d toFloor = Eigen::Isometry3d(Eigen::Quaterniond::FromTwoVectors(up, Eigen::Vector3d::UnitZ())) *
                                    Eigen::Translation3d(floor.w() * up);
  CloudN::Ptr target(new CloudN), source(new CloudN);
  pcl::transformPointCloudWithNormals(InCommonFrame(targets, true), *target, toFloor.matrix().cast<float>());
  pcl::transformPointCloudWithNormals(camera.tops, *source, (toFloor * pose).matrix().cast<float>());
  if (target->size() < 10 || source->size() < 10) return pose;

  pcl::IterativeClosestPoint<pcl::PointNormal, pcl::PointNormal> icp;
  icp.setTransformationEstimation(
      pcl::registration::TransformationEstimation2D<pcl::PointNormal, pcl::PointNormal>::Ptr(
          new pcl::registration::TransformationEstimation2D<pcl::PointNormal, pcl::PointNormal>));
  icp.addCorrespondenceRejector(SameSideRejector());
  icp.setInputTarget(target);
  icp.setInputSource(source);
  pcl::KdTreeFLANN<pcl::PointNormal> tree;
  tree.setInputCloud(target);

  Eigen::Vector4f centre;
  pcl::compute3DCentroid(*source, centre);
  const Eigen::Vector3d pivot(centre.x(), centre.y(), 0);
  const double last = options_.placeScheduleCm.back();
  Eigen::Isometry3d best = Eigen::Isometry3d::Identity();
  double bestShare = -1;
  for (double turn = -options_.turnRangeDegrees; turn <= options_.turnRangeDegrees + 1e-9;
       turn += options_.turnStepDegrees) {
    const Eigen::Isometry3d start = Eigen::Translation3d(pivot) *
                                    Eigen::AngleAxisd(turn * EIGEN_PI / 180.0, Eigen::Vector3d::UnitZ()) *
                                    Eigen::Translation3d(-pivot);
    Eigen::Isometry3d found = RunSchedule(icp, start, options_.placeScheduleCm, options_.iterationsPerStage);
    found.translation().z() = 0;  // the floors already coincide
    // The share of the standing points that found a partner.
    CloudN moved;
    pcl::transformPointCloud(*source, moved, found.matrix().cast<float>());
    std::vector<int> index(1);
    std::vector<float> squared(1);
    size_t near = 0;
    for (const pcl::PointNormal& p : moved)
      if (tree.nearestKSearch(p, 1, index, squared) == 1 && squared[0] <= last * last) ++near;
    const double share = static_cast<double>(near) / static_cast<double>(moved.size());
    if (share > bestShare) bestShare = share, best = found;
  }
  return toFloor.inverse() * best * toFloor * pose;
}

}  // namespace kestrova
