// How the alignment runs PCL's registrations: a schedule of shrinking
// correspondence distances, each stage starting where the last ended, and
// the rejector that keeps the two sides of a thin object apart.
#pragma once

#include <vector>

#include <Eigen/Geometry>
#include <pcl/registration/correspondence_rejection.h>

namespace kestrova {

// The rigid motion nearest a float matrix (its rotation made orthonormal).
Eigen::Isometry3d Isometry(const Eigen::Matrix4f& m);

// Runs `registration` over the distance schedule, each stage starting from
// where the last one ended.
template <typename Registration>
Eigen::Isometry3d RunSchedule(Registration& registration, const Eigen::Isometry3d& start,
                              const std::vector<double>& scheduleCm, int iterations) {
  typename Registration::PointCloudSource moved;
  Eigen::Matrix4f guess = start.matrix().cast<float>();
  registration.setMaximumIterations(iterations);
  registration.setTransformationEpsilon(1e-8);
  registration.setEuclideanFitnessEpsilon(1e-8);
  for (double distance : scheduleCm) {
    registration.setMaxCorrespondenceDistance(distance);
    registration.align(moved, guess);
    guess = registration.getFinalTransformation();
  }
  const Eigen::Isometry3d out = Isometry(guess);
  return out.linear().determinant() > 0 ? out : start;
}

// Pairs of points whose normals differ much are not one surface seen twice
// but, most often, the two sides of a thin object seen by cameras facing
// each other; pairing them would pull those cameras together.
pcl::registration::CorrespondenceRejector::Ptr SameSideRejector();

}  // namespace kestrova
