// Camera alignment: the pose numbers going back from a matrix (the
// singular ry = +-90 degrees included), and recovery of known rigs of the
// simulated scene from typed poses that miss them.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <sstream>

#include "align/CameraAlignment.h"
#include "align/PoseAngles.h"
#include "capture/DepthConversion.h"
#include "capture/NuiSensor.h"
#include "capture/SimulatedScene.h"

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

// --- registration on the simulated scene

// Camera coordinates (PCL units) of what a camera at `truth` sees: the
// scene's static part and the moving objects at `seconds`, as its pixels
// give them through the pipeline's conversion.
pcl::PointCloud<pcl::PointXYZ> SceneCloud(const CameraSetting& truth, double seconds, int slot) {
  SimulatedScene scene;
  const SimCameraPose pose = PoseFromSetting(truth);
  std::vector<std::uint16_t> depth = scene.RenderStatic(pose);
  std::vector<std::uint8_t> label(kDepthPixels, 0);
  scene.RenderMoving(pose, seconds, depth.data(), label.data());
  std::vector<std::uint16_t> pixels(kDepthPixels);
  EncodeDepthPixels(depth.data(), label.data(), 7 + 1000 * slot, pixels.data());
  pcl::PointCloud<pcl::PointXYZ> cloud;
  ConvertDepthFrame(pixels.data(), kDepthPixels, DepthLimit(truth.maxDepth), cloud);
  return cloud;
}

struct RigCase {
  std::array<CameraSetting, kCameraCount> truth;
  std::array<CameraSetting, kCameraCount> typed;
};

// The default rig moved and turned by `seed`, and typed poses that miss it
// by up to 10 cm and 10 degrees on every axis (the reference typed right).
RigCase PerturbedRig(unsigned seed, double rigCm, double rigDegrees) {
  std::mt19937 random(seed);
  auto spread = [&](double limit) { return std::uniform_real_distribution<double>(-limit, limit)(random); };
  RigCase rig;
  for (int i = 0; i < kCameraCount; ++i) {
    CameraSetting t = DefaultCameraSetting(i);
    t.maxDepth = 20;
    t.x += spread(rigCm), t.y += spread(rigCm), t.z += spread(rigCm);
    t.rx += spread(rigDegrees), t.ry += spread(rigDegrees), t.rz += spread(rigDegrees);
    rig.truth[i] = rig.typed[i] = t;
    if (i == 0) continue;
    CameraSetting& typed = rig.typed[i];
    const double off = getenv("OFF") ? atof(getenv("OFF")) : 10;
    typed.x += spread(off), typed.y += spread(off), typed.z += spread(off);
    typed.rx += spread(off), typed.ry += spread(off), typed.rz += spread(off);
  }
  return rig;
}

AlignmentReport AlignRig(const RigCase& rig, const AlignmentOptions& options = {}) {
  CameraAlignment alignment;
  alignment.setCalibration(kTrueScale);
  alignment.setOptions(options);
  for (int i = 0; i < kCameraCount; ++i) {
    pcl::PointCloud<pcl::PointXYZ> cloud;
    for (double seconds : {0.0, 0.7, 1.4, 2.1, 2.8, 3.5}) cloud += SceneCloud(rig.truth[i], seconds, i);
    alignment.setInputCloud(i, cloud, rig.typed[i]);
  }
  auto t0 = std::chrono::steady_clock::now();
  AlignmentReport r = alignment.align();
  std::printf("align %.2f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  return r;
}

void ExpectRecovered(const RigCase& rig, const AlignmentReport& report) {
  ASSERT_EQ(report.cameras.size(), 4u);
  for (int i = 0; i < 4; ++i) { const CameraSetting& t = rig.truth[i]; std::printf("TRUTH cam%d: %.2f %.2f %.2f  %.2f %.2f %.2f\n", i + 1, t.x, t.y, t.z, t.rx, t.ry, t.rz); }
  for (const CameraAlignmentResult& r : report.cameras) {
    const CameraSetting& truth = rig.truth[r.slot];
    EXPECT_TRUE(r.aligned || r.reference) << "camera " << r.slot + 1 << ": " << r.problem;
    const Eigen::Isometry3d found = PoseMatrix(r.after, 1.0), right = PoseMatrix(truth, 1.0);
    const double cm = (found.translation() - right.translation()).norm();
    const double degrees = RotationAngleDegrees(found.linear(), right.linear());
    EXPECT_LT(cm, 1.0) << "camera " << r.slot + 1;
    EXPECT_LT(degrees, 1.0) << "camera " << r.slot + 1;
    std::printf("camera %d: off %.3f cm %.3f deg (typed %.1f cm %.1f deg); rms %.2f -> %.2f cm, overlap %.2f -> %.2f\n",
                r.slot + 1, cm, degrees, r.correctionCm, r.correctionDegrees, r.fitnessBefore.rmsCm,
                r.fitnessAfter.rmsCm, r.fitnessBefore.overlapShare, r.fitnessAfter.overlapShare);
  }
}

TEST(CameraAlignment, RecoversTheDefaultRigFromPosesTenOff) {
  const RigCase rig = PerturbedRig(getenv("SEED") ? atoi(getenv("SEED")) : 11, getenv("RIG") ? atof(getenv("RIG")) : 0, getenv("RIG") ? atof(getenv("RIG")) : 0);
  AlignmentOptions o;
  if (getenv("METHOD")) o.method = static_cast<RegistrationMethod>(atoi(getenv("METHOD")));
  if (getenv("SCHED")) { o.placeScheduleCm.clear(); std::istringstream in(getenv("SCHED")); double d; while (in >> d) o.placeScheduleCm.push_back(d); }
  if (getenv("REFINE")) { o.refineScheduleCm.clear(); std::istringstream in(getenv("REFINE")); double d; while (in >> d) o.refineScheduleCm.push_back(d); }
  if (getenv("TURN")) o.turnRangeDegrees = atof(getenv("TURN"));
  if (getenv("ITER")) o.iterationsPerStage = atoi(getenv("ITER"));
  if (getenv("ROUNDS")) o.rounds = atoi(getenv("ROUNDS"));
  ExpectRecovered(rig, AlignRig(rig, o));
}

}  // namespace
}  // namespace kestrova
