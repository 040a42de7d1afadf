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

TEST(PoseAngles, AtRyPlusOrMinus90RxStaysAsTypedAndRzTakesTheRest) {
  // At ry = 90 only rx - rz is defined, at -90 only rx + rz. Worked by hand:
  const struct {
    CameraSetting truth, typed;
    float rx, ry, rz;
  } cases[] = {
      // rx - rz = 30 - 6 = 24; typed rx 16: rz = 16 - 24 = -8.
      {Pose(10, 20, 30, 30, 90, 6), Pose(0, 0, 0, 16, 90, 0), 16, 90, -8},
      // rx + rz = 30 - 6 = 24; typed rx 16: rz = 24 - 16 = 8.
      {Pose(0, 0, 0, 30, -90, -6), Pose(0, 0, 0, 16, -90, 0), 16, -90, 8},
      // A sum that wraps: 170 + 170 = 340 = -20; typed rx 0: rz = -20.
      {Pose(0, 0, 0, 170, -90, 170), Pose(0, 0, 0, 0, -90, 0), 0, -90, -20},
      // Typed far from the truth's split: rx 22 as typed, rz = 16 - 22 = -6,
      // not the truth's (16, -90, 0).
      {Pose(0, 0, 0, 16, -90, 0), Pose(0, 0, 0, 22, -84, -5), 22, -90, -6},
  };
  for (const auto& c : cases) {
    const CameraSetting back = PoseFromMatrix(PoseMatrix(c.truth, kTrueScale), kTrueScale, c.typed);
    EXPECT_NEAR(back.rx, c.rx, 1e-4);
    EXPECT_EQ(back.ry, c.ry);
    EXPECT_NEAR(back.rz, c.rz, 1e-4);
    ExpectSameMatrix(back, c.truth, 1e-6);
  }
}

TEST(PoseAngles, WithinAFifthOfADegreeOfTheSingularityRyIsSetTo90) {
  // Align's results for a camera at (16, -90, 0) typed as (22, -84, -5):
  // the exact angles of the second swing 30 degrees away from the typed ones.
  const CameraSetting typed = Pose(0, 0, 0, 22, -84, -5);
  for (const CameraSetting& found : {Pose(0, 0, 0, 33.679424f, -89.938210f, -17.722885f),
                                     Pose(0, 0, 0, 46.464603f, -89.935112f, -30.493624f),
                                     Pose(0, 0, 0, 16, -89.81f, 0)}) {
    const CameraSetting back = PoseFromMatrix(PoseMatrix(found, 1.0), 1.0, typed);
    EXPECT_EQ(back.ry, -90.0f);
    EXPECT_EQ(back.rx, 22.0f);
    EXPECT_NEAR(back.rz, found.rx + found.rz - 22, 1e-3);
    EXPECT_LT(RotationAngleDegrees(PoseMatrix(back, 1.0).linear(), PoseMatrix(found, 1.0).linear()), 0.2);
  }
  // Even when the exact angles lie nearer the typed ones: a camera at
  // (14.5, 90, 0) typed (9.5, 96, 6), found at (11.42, 90.03, -3.15); at +90
  // only rx - rz = 14.57 is kept, so rz = 9.5 - 14.57.
  const CameraSetting near = PoseFromMatrix(PoseMatrix(Pose(0, 0, 0, 11.42f, 90.03f, -3.15f), 1.0), 1.0,
                                            Pose(0, 0, 0, 9.5f, 96, 6));
  EXPECT_EQ(near.ry, 90.0f);
  EXPECT_EQ(near.rx, 9.5f);
  EXPECT_NEAR(near.rz, -5.07, 1e-2);
  // Further off, the exact angles.
  for (float ry : {89.75f, 89.5f, -89.0f, -89.7f}) {
    const CameraSetting truth = Pose(1, 2, 3, 14.5f, ry, 3);
    const CameraSetting back = PoseFromMatrix(PoseMatrix(truth, 1.0), 1.0, Pose(0, 0, 0, 14.5f, ry > 0 ? 90 : -90, 0));
    ExpectSameMatrix(back, truth, 1e-5);
  }
}

}  // namespace
}  // namespace kestrova
