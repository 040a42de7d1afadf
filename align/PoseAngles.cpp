#include "align/PoseAngles.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace kestrova {

namespace {

constexpr double kSingularToleranceDegrees = 0.2;

double Radians(double degrees) { return degrees / 180.0 * EIGEN_PI; }
double Degrees(double radians) { return radians * 180.0 / EIGEN_PI; }

// `angle` moved by whole turns to lie within half a turn of `near`.
double Nearest(double angle, double near) {
  return angle - 360.0 * std::round((angle - near) / 360.0);
}

struct Angles {
  double rx, ry, rz;
};

Eigen::Matrix3d Rotation(const Angles& a) {
  return (Eigen::AngleAxisd(Radians(a.rz), Eigen::Vector3d::UnitZ()) *
          Eigen::AngleAxisd(Radians(a.ry), Eigen::Vector3d::UnitY()) *
          Eigen::AngleAxisd(Radians(a.rx), Eigen::Vector3d::UnitX()))
      .toRotationMatrix();
}

double Distance(const Angles& a, const Angles& typed) {
  return std::hypot(a.rx - typed.rx, a.ry - typed.ry, a.rz - typed.rz);
}

// At ry = +90 the rotation fixes only rx - rz, at -90 only rx + rz: rx
// stays as typed and rz takes the rest.
Angles SingularSplit(const Eigen::Matrix3d& r, double ry, const Angles& typed) {
  Angles out{typed.rx, ry, 0};
  if (ry > 0) {
    // Rz(c) Ry(90) Rx(a): element (0,1) = sin(a - c), (1,1) = cos(a - c).
    const double difference = Degrees(std::atan2(r(0, 1), r(1, 1)));
    out.rz = typed.rx - difference;
  } else {
    // Rz(c) Ry(-90) Rx(a): element (0,1) = -sin(a + c), (1,1) = cos(a + c).
    const double sum = Degrees(std::atan2(-r(0, 1), r(1, 1)));
    out.rz = sum - typed.rx;
  }
  return out;
}

}  // namespace

Eigen::Isometry3d PoseMatrix(const CameraSetting& c, double calibration) {
  Eigen::Isometry3d m = Eigen::Isometry3d::Identity();
  m.linear() = Rotation({c.rx, c.ry, c.rz});
  m.translation() = Eigen::Vector3d(c.x, c.y, c.z) * calibration;
  return m;
}

double RotationAngleDegrees(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
  return Degrees(Eigen::AngleAxisd(a.transpose() * b).angle());
}

CameraSetting PoseFromMatrix(const Eigen::Isometry3d& pose, double calibration,
                             const CameraSetting& typed) {
  const Eigen::Matrix3d r = pose.linear();
  const Angles wanted{typed.rx, typed.ry, typed.rz};
  std::array<Angles, 4> candidates;
  int count = 0;
  // The regular solutions: ry from -r20 = sin(ry), on both branches.
  const double sinRy = std::clamp(-r(2, 0), -1.0, 1.0);
  const double branch = Degrees(std::asin(sinRy));
  // Within the tolerance of ry = +-90 it is given as exactly +-90, with rx
  // as typed and the rest in rz: the exact angles there swing wildly.
  const bool singular = std::abs(std::abs(branch) - 90.0) <= kSingularToleranceDegrees;
  if (singular) candidates[count++] = SingularSplit(r, branch > 0 ? 90.0 : -90.0, wanted);
  for (double ry : {branch, 180.0 - branch}) {
    if (singular) break;
    const double cosRy = std::cos(Radians(ry));
    if (std::abs(cosRy) < 1e-12) continue;
    const double rx = Degrees(std::atan2(r(2, 1) / cosRy, r(2, 2) / cosRy));
    const double rz = Degrees(std::atan2(r(1, 0) / cosRy, r(0, 0) / cosRy));
    candidates[count++] = {rx, ry, rz};
  }

  Angles best{};
  double bestDistance = std::numeric_limits<double>::infinity();
  for (int i = 0; i < count; ++i) {
    Angles a = candidates[i];
    a.rx = Nearest(a.rx, wanted.rx);
    a.ry = Nearest(a.ry, wanted.ry);
    a.rz = Nearest(a.rz, wanted.rz);
    const double d = Distance(a, wanted);
    if (d < bestDistance) {
      bestDistance = d;
      best = a;
    }
  }
  CameraSetting out = typed;
  out.rx = static_cast<float>(best.rx);
  out.ry = static_cast<float>(best.ry);
  out.rz = static_cast<float>(best.rz);
  const Eigen::Vector3d cm = pose.translation() / calibration;
  out.x = static_cast<float>(cm.x());
  out.y = static_cast<float>(cm.y());
  out.z = static_cast<float>(cm.z());
  return out;
}

}  // namespace kestrova
