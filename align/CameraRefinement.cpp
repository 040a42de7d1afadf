// A camera's pose refined against the chosen cameras' points by the
// registration the options name.
#include "align/CameraAlignment.h"
#include "align/Registrations.h"

namespace kestrova {

namespace {
using CloudN = CameraAlignment::CloudN;
}  // namespace

Eigen::Isometry3d CameraAlignment::Refine(const Camera& camera, const Eigen::Isometry3d& pose,
                                          const Selection& targets,
                                          const std::vector<double>& scheduleCm) const {
  CloudN::Ptr target(new CloudN(InCommonFrame(targets, false)));
  if (target->empty() || camera.points.empty()) return pose;
  CloudN::Ptr source(new CloudN(camera.points));
  const int iterations = options_.iterationsPerStage;
  switch (options_.method) {
    case RegistrationMethod::PointToPlane:
      return RegisterPointToPlane(source, target, pose, scheduleCm, iterations);
    case RegistrationMethod::Generalized:
      return RegisterGeneralized(source, target, pose, scheduleCm, iterations);
    case RegistrationMethod::PointToPoint:
      return RegisterPointToPoint(source, target, pose, scheduleCm, iterations);
  }
  return pose;
}

}  // namespace kestrova
