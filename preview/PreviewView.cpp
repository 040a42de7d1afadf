#include "preview/PreviewView.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>

namespace kestrova {

namespace {
double Radians(double degrees) { return degrees * EIGEN_PI / 180.0; }

// The distance from the box's centre that keeps a box of this size within
// the view, at least a little in front of its nearest corner.
constexpr double kNearestDistance = 1e-3;
}  // namespace

PreviewCamera OpeningView(const float box[6], double aspect) {
  Eigen::Vector3d low(box[0], box[2], box[4]), high(box[1], box[3], box[5]);
  if (!low.allFinite() || !high.allFinite()) low = high = Eigen::Vector3d::Zero();
  const Eigen::Vector3d centre = (low + high) / 2;
  const Eigen::Vector3d half = (high - low).cwiseAbs() / 2;

  const double elevation = Radians(kOpeningElevation);
  const Eigen::Vector3d back(0, std::sin(elevation), -std::cos(elevation));  // centre to camera
  const Eigen::Vector3d forward = -back;
  const Eigen::Vector3d up(0, std::cos(elevation), std::sin(elevation));
  const Eigen::Vector3d right = forward.cross(up);
  const double tangent = std::tan(Radians(kPreviewViewAngle) / 2) * kOpeningFill;
  const double widthTangent = tangent * (aspect > 0 && std::isfinite(aspect) ? aspect : 1.0);

  // A corner at offset v from the centre lies at depth D + v.forward and
  // must see |v.right| / depth <= widthTangent and |v.up| / depth <= tangent.
  double distance = kNearestDistance;
  for (int corner = 0; corner < 8; ++corner) {
    const Eigen::Vector3d v((corner & 1) ? half.x() : -half.x(), (corner & 2) ? half.y() : -half.y(),
                            (corner & 4) ? half.z() : -half.z());
    const double along = v.dot(forward);
    distance = std::max({distance, std::abs(v.dot(right)) / widthTangent - along,
                         std::abs(v.dot(up)) / tangent - along, kNearestDistance - along});
  }
  PreviewCamera camera;
  camera.focalPoint = centre;
  camera.position = centre + distance * back;
  camera.viewUp = up;
  return camera;
}

PreviewCamera ZoomTowards(const PreviewCamera& camera, const Eigen::Vector3d& target, double factor) {
  if (!(factor > 0) || !std::isfinite(factor) || !target.allFinite()) return camera;
  PreviewCamera zoomed = camera;
  zoomed.position = target + (camera.position - target) / factor;
  zoomed.focalPoint = target + (camera.focalPoint - target) / factor;
  return zoomed;
}

}  // namespace kestrova
