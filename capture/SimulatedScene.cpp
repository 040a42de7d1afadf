#include "capture/SimulatedScene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include <Eigen/Geometry>

#include "capture/Angles.h"
#include "capture/DepthConversion.h"

namespace kestrova {

namespace {

constexpr double kFloorY = -42.0;
constexpr double kFloorHalfExtent = 200.0;
constexpr double kNearMm = 400.0;
constexpr double kFarMm = 4000.0;
constexpr double kSteepestCosine = 0.12;  // ~83 degrees from the surface normal
constexpr double kNoHit = std::numeric_limits<double>::infinity();

struct Hit {
  double t = kNoHit;  // camera z, cm
  double cosine = 1;  // |cos| between the ray and the surface normal
};

struct Box {
  Eigen::Vector3d centre;
  Eigen::Vector3d half;
  Eigen::Matrix3d toLocal;  // undoes the box's turn about the vertical axis
};

Box MakeBox(const Eigen::Vector3d& centre, const Eigen::Vector3d& half, double yaw) {
  return {centre, half, Eigen::AngleAxisd(-yaw, Eigen::Vector3d::UnitY()).toRotationMatrix()};
}

struct Ball {
  Eigen::Vector3d centre;
  double radius;
};

// A frame's lens as the point conversion uses it: the inverse focal
// lengths held as floats, so rays and points agree to the last bit.
struct RayLens {
  double cu, cv, cx, cy;
  int width, height;
  explicit RayLens(const DepthFrameFormat& format)
      : cu(InverseFocalLength(format.lens.fx)),
        cv(InverseFocalLength(format.lens.fy)),
        cx(format.lens.cx),
        cy(format.lens.cy),
        width(format.width),
        height(format.height) {}
};

Eigen::Vector3d RayDirection(const SimCameraPose& pose, const RayLens& lens, int column, int row) {
  Eigen::Vector3d camera((column - lens.cx) * lens.cu, (lens.cy - row) * lens.cv, 1.0);
  return pose.rotation * camera;
}

void Closer(Hit& best, double t, double cosine) {
  if (t > 0 && t < best.t) best = {t, cosine};
}

void HitFloor(const Eigen::Vector3d& o, const Eigen::Vector3d& d, Hit& best) {
  if (d.y() >= 0) return;
  double t = (kFloorY - o.y()) / d.y();
  Eigen::Vector3d p = o + t * d;
  if (std::abs(p.x()) > kFloorHalfExtent || std::abs(p.z()) > kFloorHalfExtent) return;
  Closer(best, t, std::abs(d.y()) / d.norm());
}

void HitBox(const Box& box, const Eigen::Vector3d& o, const Eigen::Vector3d& d, Hit& best) {
  Eigen::Vector3d lo = box.toLocal * (o - box.centre);
  Eigen::Vector3d ld = box.toLocal * d;
  double tNear = -kNoHit, tFar = kNoHit;
  int axis = -1;
  for (int a = 0; a < 3; ++a) {
    if (std::abs(ld[a]) < 1e-12) {
      if (std::abs(lo[a]) > box.half[a]) return;
      continue;
    }
    double t1 = (-box.half[a] - lo[a]) / ld[a];
    double t2 = (box.half[a] - lo[a]) / ld[a];
    if (t1 > t2) std::swap(t1, t2);
    if (t1 > tNear) {
      tNear = t1;
      axis = a;
    }
    tFar = std::min(tFar, t2);
    if (tNear > tFar) return;
  }
  if (axis < 0 || tNear <= 0) return;
  Closer(best, tNear, std::abs(ld[axis]) / ld.norm());
}

void HitBall(const Ball& ball, const Eigen::Vector3d& o, const Eigen::Vector3d& d, Hit& best) {
  Eigen::Vector3d oc = o - ball.centre;
  double a = d.dot(d);
  double b = 2 * d.dot(oc);
  double c = oc.dot(oc) - ball.radius * ball.radius;
  double disc = b * b - 4 * a * c;
  if (disc < 0) return;
  double t = (-b - std::sqrt(disc)) / (2 * a);
  if (t <= 0) return;
  Eigen::Vector3d normal = (oc + t * d).normalized();
  Closer(best, t, std::abs(normal.dot(d)) / std::sqrt(a));
}

std::uint16_t DepthOf(const Hit& hit) {
  if (hit.t == kNoHit || hit.cosine < kSteepestCosine) return 0;
  double mm = hit.t * 10.0;
  if (mm < kNearMm || mm > kFarMm) return 0;
  return static_cast<std::uint16_t>(std::lround(mm));
}

const Box kStaticBoxes[] = {
    MakeBox({-2.0, -31.0, -10.0}, {15.0, 1.0, 1.0}, 0.0),  // the 30 cm rod
    MakeBox({-12.0, -37.0, -10.0}, {2.0, 5.0, 2.0}, 0.0),  // its left block
    MakeBox({8.0, -37.0, -10.0}, {2.0, 5.0, 2.0}, 0.0),    // its right block
};

Ball MovingBall(double seconds) {
  double a = 2 * kPi * seconds / 6.0;
  return {{-2.0 + 10.0 * std::cos(a), -20.0 + 4.0 * std::sin(2 * a), 2.0 + 8.0 * std::sin(a)}, 7.0};
}

Box MovingBox(double seconds) {
  return MakeBox({15.0, -34.0, 2.0}, {5.0, 8.0, 5.0}, 2 * kPi * seconds / 4.0);
}

// The pixel rectangle that a sphere of `radius` around `centre` can cover.
struct PixelRect {
  int left, top, right, bottom;  // inclusive
};

PixelRect ScreenBounds(const SimCameraPose& pose, const RayLens& lens, const Eigen::Vector3d& centre,
                       double radius) {
  const PixelRect whole{0, 0, lens.width - 1, lens.height - 1};
  Eigen::Vector3d p = pose.rotation.transpose() * (centre - pose.position);
  if (p.z() - radius < 1.0) return p.z() + radius < 1.0 ? PixelRect{0, 0, -1, -1} : whole;
  double xs[4], ys[4];
  int k = 0;
  for (double dz : {-radius, radius}) {
    for (double dxy : {-radius, radius}) {
      xs[k] = (p.x() + dxy) / (p.z() + dz);
      ys[k] = (p.y() + dxy) / (p.z() + dz);
      ++k;
    }
  }
  double minX = *std::min_element(xs, xs + 4), maxX = *std::max_element(xs, xs + 4);
  double minY = *std::min_element(ys, ys + 4), maxY = *std::max_element(ys, ys + 4);
  PixelRect r;
  r.left = std::max(0, static_cast<int>(std::floor(lens.cx + minX / lens.cu)) - 1);
  r.right = std::min(lens.width - 1, static_cast<int>(std::ceil(lens.cx + maxX / lens.cu)) + 1);
  r.top = std::max(0, static_cast<int>(std::floor(lens.cy - maxY / lens.cv)) - 1);
  r.bottom = std::min(lens.height - 1, static_cast<int>(std::ceil(lens.cy - minY / lens.cv)) + 1);
  return r;
}

template <class Object, class HitFn>
void Overlay(const SimCameraPose& pose, const RayLens& lens, const Object& object, double boundRadius,
             const Eigen::Vector3d& centre, HitFn hitFn, std::uint8_t labelValue,
             std::uint16_t* depthMm, std::uint8_t* label) {
  PixelRect r = ScreenBounds(pose, lens, centre, boundRadius);
  for (int row = r.top; row <= r.bottom; ++row) {
    for (int column = r.left; column <= r.right; ++column) {
      Hit hit;
      hitFn(object, pose.position, RayDirection(pose, lens, column, row), hit);
      if (hit.t == kNoHit) continue;
      int k = row * lens.width + column;
      std::uint16_t behind = depthMm[k];
      // The object wins where it is nearer than the static scene, also where
      // it is too steep to read: it still hides what lies behind it.
      if (behind != 0 && hit.t * 10.0 >= behind) continue;
      depthMm[k] = DepthOf(hit);
      label[k] = labelValue;
    }
  }
}

// Standard-normal samples scaled so that sample * d^2 is the noise in mm:
// sigma is about 1.2 mm at 1 m.
const std::vector<float>& NoiseTable() {
  static const std::vector<float> table = [] {
    std::vector<float> values(1 << 16);
    std::mt19937 generator(20261207u);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (auto& v : values) v = static_cast<float>(std::clamp(normal(generator), -4.0, 4.0) / 833333.0);
    return values;
  }();
  return table;
}

// Depth steps that coarsen with distance, as a sensor's disparity steps do.
const std::vector<std::uint16_t>& QuantisedDepth() {
  static const std::vector<std::uint16_t> table = [] {
    std::vector<std::uint16_t> values(8192);
    for (int d = 0; d < 8192; ++d) {
      int step = 1 + static_cast<int>((static_cast<std::int64_t>(d) * d) >> 20);
      values[d] = static_cast<std::uint16_t>(std::max(1, d - d % step));
    }
    return values;
  }();
  return table;
}

}  // namespace

SimCameraPose PoseFromSetting(const CameraSetting& s) {
  Eigen::Matrix3d rx = Eigen::AngleAxisd(Radians(s.rx), Eigen::Vector3d::UnitX()).toRotationMatrix();
  Eigen::Matrix3d ry = Eigen::AngleAxisd(Radians(s.ry), Eigen::Vector3d::UnitY()).toRotationMatrix();
  Eigen::Matrix3d rz = Eigen::AngleAxisd(Radians(s.rz), Eigen::Vector3d::UnitZ()).toRotationMatrix();
  return {rz * ry * rx, Eigen::Vector3d(s.x, s.y, s.z)};
}

std::vector<std::uint16_t> SimulatedScene::RenderStatic(const SimCameraPose& pose,
                                                        const DepthFrameFormat& format) const {
  const RayLens lens(format);
  std::vector<std::uint16_t> depth(static_cast<std::size_t>(format.Pixels()), 0);
  for (int row = 0; row < lens.height; ++row) {
    for (int column = 0; column < lens.width; ++column) {
      Eigen::Vector3d d = RayDirection(pose, lens, column, row);
      Hit best;
      HitFloor(pose.position, d, best);
      for (const Box& box : kStaticBoxes) HitBox(box, pose.position, d, best);
      depth[row * lens.width + column] = DepthOf(best);
    }
  }
  return depth;
}

void SimulatedScene::RenderMoving(const SimCameraPose& pose, double seconds, std::uint16_t* depthMm,
                                  std::uint8_t* label, const DepthFrameFormat& format) const {
  const RayLens lens(format);
  Ball ball = MovingBall(seconds);
  Overlay(pose, lens, ball, ball.radius, ball.centre, HitBall, 1, depthMm, label);
  Box box = MovingBox(seconds);
  Overlay(pose, lens, box, box.half.norm(), box.centre, HitBox, 2, depthMm, label);
}

void EncodeDepthPixels(const std::uint16_t* depthMm, const std::uint8_t* label, int count,
                       std::uint32_t noiseOffset, std::uint16_t* pixels) {
  const std::vector<float>& noise = NoiseTable();
  const std::vector<std::uint16_t>& quantised = QuantisedDepth();
  const std::uint32_t mask = static_cast<std::uint32_t>(noise.size() - 1);
  for (int k = 0; k < count; ++k) {
    const std::int32_t d = depthMm[k];
    if (d == 0) {
      pixels[k] = 0;
      continue;
    }
    const float square = static_cast<float>(d) * static_cast<float>(d);
    const std::int32_t offset =
        static_cast<std::int32_t>(noise[(static_cast<std::uint32_t>(k) + noiseOffset) & mask] * square);
    const std::int32_t value = quantised[std::clamp(d + offset, 1, 8191)];
    pixels[k] = static_cast<std::uint16_t>((value << 3) | (label[k] & 7));
  }
}

std::vector<std::uint16_t> RenderSensorFrame(const SimulatedScene& scene, const SimCameraPose& pose,
                                             double seconds, std::uint32_t noiseOffset,
                                             const DepthFrameFormat& format) {
  std::vector<std::uint16_t> depth = scene.RenderStatic(pose, format);
  std::vector<std::uint8_t> label(depth.size(), 0);
  scene.RenderMoving(pose, seconds, depth.data(), label.data(), format);
  std::vector<std::uint16_t> pixels(depth.size());
  EncodeDepthPixels(depth.data(), label.data(), static_cast<int>(depth.size()), noiseOffset, pixels.data());
  return pixels;
}

}  // namespace kestrova
