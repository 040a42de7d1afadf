// The Preview's geometry, without a window: the opening view that shows the
// whole region box, zooming towards the pointer, and which cloud point a
// click picks.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>

#include "preview/PointPicking.h"
#include "preview/PreviewView.h"

namespace kestrova {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Where a point lands in a view of `camera`: x and y as tangents of the
// view's half-angles (-1..1 fills the view at tangent 1), and its depth.
Eigen::Vector3d Project(const PreviewCamera& camera, const Eigen::Vector3d& p) {
  const Eigen::Vector3d forward = (camera.focalPoint - camera.position).normalized();
  const Eigen::Vector3d right = forward.cross(camera.viewUp).normalized();
  const Eigen::Vector3d up = right.cross(forward);
  const Eigen::Vector3d v = p - camera.position;
  const double depth = v.dot(forward);
  return {v.dot(right) / depth, v.dot(up) / depth, depth};
}

// The largest share of the view's half-width or half-height a corner of `box` takes.
double LargestShare(const PreviewCamera& camera, const float box[6], double aspect) {
  const double tangent = std::tan(kPreviewViewAngle / 2 * kPi / 180);
  double share = 0;
  for (int corner = 0; corner < 8; ++corner) {
    const Eigen::Vector3d p(box[corner & 1], box[2 + ((corner >> 1) & 1)], box[4 + ((corner >> 2) & 1)]);
    const Eigen::Vector3d s = Project(camera, p);
    EXPECT_GT(s.z(), 0);
    share = std::max({share, std::abs(s.x()) / (tangent * aspect), std::abs(s.y()) / tangent});
  }
  return share;
}

TEST(PreviewView, OpensOnTheWholeRegionBoxFromTheFrontAndAbove) {
  // The default region at the default and the true calibration, a flat
  // wide box, a tall narrow one, and one of no size.
  const float boxes[][6] = {{-0.0348f, 0.0312f, -0.0492f, -0.0048f, -0.0264f, 0.0156f},
                            {-0.03625f, 0.0325f, -0.05125f, -0.005f, -0.0275f, 0.01625f},
                            {-1, 1, -0.01f, 0.01f, -0.2f, 0.2f},
                            {-0.01f, 0.01f, -1, 1, -0.01f, 0.01f},
                            {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f}};
  for (const float* box : boxes) {
    for (double aspect : {4.0 / 3.0, 0.5, 2.0}) {
      const PreviewCamera camera = OpeningView(box, aspect);
      const Eigen::Vector3d centre((box[0] + box[1]) / 2, (box[2] + box[3]) / 2, (box[4] + box[5]) / 2);
      EXPECT_LT((camera.focalPoint - centre).norm(), 1e-6);
      // From the front (-z) and 20 degrees above, the view upright.
      const Eigen::Vector3d back = (camera.position - camera.focalPoint).normalized();
      EXPECT_NEAR(back.x(), 0, 1e-9);
      EXPECT_NEAR(back.y(), std::sin(20 * kPi / 180), 1e-9);
      EXPECT_NEAR(back.z(), -std::cos(20 * kPi / 180), 1e-9);
      EXPECT_NEAR(camera.viewUp.dot(back), 0, 1e-9);
      EXPECT_GT(camera.viewUp.y(), 0.9);
      // Every corner inside 90 % of the view, the box as large as that allows.
      if (box[0] == box[1]) continue;
      EXPECT_NEAR(LargestShare(camera, box, aspect), kOpeningFill, 1e-9) << aspect;
    }
  }
}

TEST(PreviewView, ZoomKeepsThePointUnderThePointerInPlace) {
  const float box[6] = {-0.0348f, 0.0312f, -0.0492f, -0.0048f, -0.0264f, 0.0156f};
  const PreviewCamera camera = OpeningView(box, 4.0 / 3.0);
  const Eigen::Vector3d target(0.02, -0.03, -0.01);
  for (double factor : {1.2, 1 / 1.2, 3.0}) {
    const PreviewCamera zoomed = ZoomTowards(camera, target, factor);
    const Eigen::Vector3d before = Project(camera, target), after = Project(zoomed, target);
    EXPECT_NEAR(after.x(), before.x(), 1e-12);
    EXPECT_NEAR(after.y(), before.y(), 1e-12);
    EXPECT_NEAR(after.z(), before.z() / factor, 1e-12);  // nearer by the factor
    // Another point moves away from it on the screen, by the factor.
    const Eigen::Vector3d other = target + 0.001 * (camera.focalPoint - camera.position).normalized().cross(camera.viewUp);
    EXPECT_NEAR((Project(zoomed, other) - after).head<2>().norm(),
                factor * (Project(camera, other) - before).head<2>().norm(), 1e-9);
  }
}

// A view from the origin along +z, 90 degrees high, 200 x 200 pixels:
// (x, y, z) lands at (100 + 100 x / z, 100 + 100 y / z); a pixel is 0.01
// wide at depth 1. Near 0.1, far 10.
ScreenProjection SquareView() {
  ScreenProjection view;
  const double near = 0.1, far = 10;
  view.worldToClip << 1, 0, 0, 0,  //
      0, 1, 0, 0,                  //
      0, 0, (far + near) / (far - near), -2 * far * near / (far - near),  //
      0, 0, 1, 0;
  view.width = view.height = 200;
  view.pixelSize = 0.01;
  return view;
}

TEST(PointPicking, TheVisiblePointNearestTheClickWithinSixPixels) {
  const std::vector<float> camera1 = {
      0.00f, 0, 1,    // 0: at (100, 100), depth 1
      0.04f, 0, 1,    // 1: at (104, 100)
      0.02f, 0, 2,    // 2: at (101, 100), 1 behind: hidden by the first two
      0.024f, 0, 1.2f,  // 3: at (102, 100), 0.2 behind: the same surface (within 4 x 6 x 0.01)
      0.00f, 0, -1,   // 4: behind the viewer
      0.00f, 0, 20};  // 5: beyond the far plane
  const std::vector<float> camera2 = {0, 0.28125f, 1.125f};  // at (100, 125), 0.125 behind camera 4's
  const std::vector<float> camera3 = {0.15f, 0.15f, 1};      // at (115, 115)
  const std::vector<float> camera4 = {0, 0.25f, 1};          // at (100, 125)
  const std::array<const std::vector<float>*, kCameraCount> clouds = {&camera1, &camera2, &camera3, &camera4};
  const struct {
    double x, y;
    bool found;
    int camera;
    std::size_t index;
  } cases[] = {
      {100, 100, true, 0, 0},  // on point 0
      {103.5, 100, true, 0, 1},
      {100.8, 100, true, 0, 0},  // point 2 lies nearer on the screen, but hidden
      {102, 100, true, 0, 3},
      {109.9, 100, true, 0, 1},  // within 6 pixels of point 1
      {110.1, 100, false, -1, 0},
      {115, 112, true, 2, 0},   // camera 3's point, as camera slot 2
      {100, 125, true, 3, 0},   // on camera 2's and 4's points: the one nearer the viewer
      {150, 150, false, -1, 0},
  };
  for (const auto& c : cases) {
    const PickedPoint picked = PickCloudPoint(clouds, SquareView(), c.x, c.y);
    EXPECT_EQ(picked.found, c.found) << c.x << ", " << c.y;
    if (!picked.found || !c.found) continue;
    EXPECT_EQ(picked.camera, c.camera) << c.x;
    EXPECT_EQ(picked.index, c.index) << c.x;
    const std::vector<float>& cloud = *clouds[c.camera];
    EXPECT_EQ(picked.point, Eigen::Vector3f(cloud[3 * c.index], cloud[3 * c.index + 1], cloud[3 * c.index + 2]));
  }
  // Nothing to pick from: no cloud shown.
  EXPECT_FALSE(PickCloudPoint({nullptr, nullptr, nullptr, nullptr}, SquareView(), 100, 100).found);
}

}  // namespace
}  // namespace kestrova
