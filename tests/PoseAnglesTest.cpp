// The pose numbers going back from a pose matrix, the singular ry = +-90
// degrees included.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "align/PoseAngles.h"

namespace kestrova {
namespace {

constexpr double kTrueScale = 0.00125;  // PCL units per cm of the simulated scene

CameraSetting Pose(float x, float y, float z, float rx, float ry, float rz) {
  CameraSetting c = DefaultCameraSetting(0);
  c.x = x, c.y = y, c.z = z, c.rx = rx, c.ry = ry, c.rz = rz;
  return c;
}

void ExpectSameMatrix(const CameraSetting& a, const CameraSetting& b, double tolerance = 1e-9) {
  const Eigen::Isometry3d ma = PoseMatrix(a, 1.0), mb = PoseMatrix(b, 1.0);
  EXPECT_LT((ma.matrix() - mb.matrix()).cwiseAbs().maxCoeff(), tolerance)
      << "rx " << a.rx << " ry " << a.ry << " rz " << a.rz << " vs " << b.rx << " " << b.ry << " " << b.rz;
}

// --- pose numbers from a matrix

TEST(PoseAngles, RegularAnglesComeBackAsTyped) {
  std::mt19937 random(5);
  std::uniform_real_distribution<float> angle(-179, 179), tilt(-89, 89), cm(-200, 200);
  for (int i = 0; i < 500; ++i) {
    const CameraSetting typed = Pose(cm(random), cm(random), cm(random), angle(random), tilt(random), angle(random));
    const CameraSetting back = PoseFromMatrix(PoseMatrix(typed, kTrueScale), kTrueScale, typed);
    EXPECT_NEAR(back.rx, typed.rx, 1e-3);
    EXPECT_NEAR(back.ry, typed.ry, 1e-3);
    EXPECT_NEAR(back.rz, typed.rz, 1e-3);
    EXPECT_NEAR(back.x, typed.x, 1e-3);
    EXPECT_NEAR(back.z, typed.z, 1e-3);
  }
}

TEST(PoseAngles, TheBranchNearestTheTypedAnglesIsKept) {
  // (10, 100, 20) and (10 - 180, 180 - 100, 20 - 180) = (-170, 80, -160) are one rotation.
  const CameraSetting a = Pose(0, 0, 0, 10, 100, 20), b = Pose(0, 0, 0, -170, 80, -160);
  ExpectSameMatrix(a, b);
  const CameraSetting fromA = PoseFromMatrix(PoseMatrix(a, 1.0), 1.0, a);
  EXPECT_NEAR(fromA.ry, 100, 1e-4);
  const CameraSetting fromB = PoseFromMatrix(PoseMatrix(a, 1.0), 1.0, b);
  EXPECT_NEAR(fromB.ry, 80, 1e-4);
  EXPECT_NEAR(fromB.rx, -170, 1e-4);
  // Angles stay within half a turn of the typed ones: 350 typed gives 350, not -10.
  const CameraSetting wrapped = Pose(0, 0, 0, 350, 5, -350);
  const CameraSetting back = PoseFromMatrix(PoseMatrix(wrapped, 1.0), 1.0, wrapped);
  EXPECT_NEAR(back.rx, 350, 1e-4);
  EXPECT_NEAR(back.rz, -350, 1e-4);
}

TEST(PoseAngles, AtRyPlus90OnlyTheDifferenceIsDefined) {
  // rx - rz = 30 - 6 = 24 at ry = 90; typed (16, 90, 0): the split moving rx
  // and rz least is rx = 16 + 4, rz = 0 - 4.
  const CameraSetting truth = Pose(10, 20, 30, 30, 90, 6);
  const CameraSetting typed = Pose(0, 0, 0, 16, 90, 0);
  const CameraSetting back = PoseFromMatrix(PoseMatrix(truth, kTrueScale), kTrueScale, typed);
  EXPECT_NEAR(back.rx, 20, 1e-4);
  EXPECT_EQ(back.ry, 90.0f);
  EXPECT_NEAR(back.rz, -4, 1e-4);
  ExpectSameMatrix(back, truth, 1e-6);
}

TEST(PoseAngles, AtRyMinus90OnlyTheSumIsDefined) {
  // rx + rz = 30 + (-6) = 24 at ry = -90; typed (16, -90, 0): rx = 20, rz = 4.
  const CameraSetting truth = Pose(0, 0, 0, 30, -90, -6);
  const CameraSetting back = PoseFromMatrix(PoseMatrix(truth, 1.0), 1.0, Pose(0, 0, 0, 16, -90, 0));
  EXPECT_NEAR(back.rx, 20, 1e-4);
  EXPECT_EQ(back.ry, -90.0f);
  EXPECT_NEAR(back.rz, 4, 1e-4);
  ExpectSameMatrix(back, truth, 1e-6);
  // A sum that wraps: 170 + 170 = 340 = -20; typed (0, -90, 0) splits -20 as -10 and -10.
  const CameraSetting wrap = PoseFromMatrix(PoseMatrix(Pose(0, 0, 0, 170, -90, 170), 1.0), 1.0,
                                            Pose(0, 0, 0, 0, -90, 0));
  EXPECT_NEAR(wrap.rx, -10, 1e-4);
  EXPECT_NEAR(wrap.rz, -10, 1e-4);
}

TEST(PoseAngles, NearTheSingularityTheMatrixStaysTheSame) {
  for (float ry : {89.99f, 90.0f, -89.97f, -90.0f, 89.5f, -89.0f}) {
    const CameraSetting truth = Pose(1, 2, 3, 14.5f, ry, 3);
    const CameraSetting back = PoseFromMatrix(PoseMatrix(truth, 1.0), 1.0, Pose(0, 0, 0, 14.5f, ry > 0 ? 90 : -90, 0));
    // Within 0.05 degrees of the singularity the angle is set to +-90 exactly.
    EXPECT_LT(RotationAngleDegrees(PoseMatrix(back, 1.0).linear(), PoseMatrix(truth, 1.0).linear()), 0.051)
        << ry;
    if (std::abs(std::abs(ry) - 90) > 0.05f) ExpectSameMatrix(back, truth, 1e-5);
  }
}

}  // namespace
}  // namespace kestrova
