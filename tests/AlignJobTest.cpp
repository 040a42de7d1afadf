// Gathering the alignment's frames from a running engine: which cycles the
// collector takes and whose frames, and the job's hand-overs (a job ended
// while it gathers, cameras that cannot take part).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "align/AlignmentCollector.h"
#include "align/AlignmentJob.h"
#include "capture/SensorChoice.h"
#include "core/Recorder.h"
#include "support/Waiting.h"

namespace kestrova {
namespace {

using testing::Eventually;

CameraSettings DefaultCameras() {
  CameraSettings cameras;
  for (int slot = 0; slot < kCameraCount; ++slot) cameras[slot] = DefaultCameraSetting(slot);
  return cameras;
}

// A 320 x 240 frame whose pixels all read `depthMm` (the depth sits in bits 3 to 15).
std::vector<std::uint16_t> FlatFrame(int depthMm) {
  return std::vector<std::uint16_t>(320 * 240, static_cast<std::uint16_t>(depthMm << 3));
}

TEST(AlignmentCollector, TakesEveryTwentiethCycleOfTheWantedCamerasAndLeavesWhenItHasEnough) {
  CameraSettings cameras = DefaultCameras();
  for (CameraSetting& camera : cameras) camera.maxDepth = 100;  // every pixel of 1 m is in range
  AlignmentCollector collector(cameras, {true, true, false, false}, 3);
  const std::vector<std::uint16_t> pixels = FlatFrame(1000);
  const DepthFrameView depth{pixels.data(), DepthFrameFormat()};
  CycleFrame cycle;
  int leftAfter = -1;
  for (int n = 0; n <= 60 && leftAfter < 0; ++n) {
    for (int camera = 0; camera < 3; ++camera) {  // camera 3 delivers but is not wanted
      CameraFrame frame;
      frame.camera = camera;
      frame.depth = &depth;
      collector.OnCameraFrame(frame);
    }
    if (!collector.OnCycle(cycle)) leftAfter = n;
  }
  // Cycles 0, 20 and 40 are gathered; the collector leaves after the third.
  EXPECT_EQ(leftAfter, 40);
  EXPECT_TRUE(collector.Done());
  collector.Finish();  // as the job does once it has detached it
  const AlignmentClouds& clouds = collector.Clouds();
  EXPECT_EQ(clouds.cycles, 3);
  EXPECT_TRUE(clouds.present[0] && clouds.present[1]);
  EXPECT_FALSE(clouds.present[2]);
  EXPECT_EQ(clouds.clouds[0].size(), 3u * 320 * 240);
  EXPECT_EQ(clouds.clouds[1].size(), 3u * 320 * 240);
  EXPECT_TRUE(clouds.clouds[2].empty());
  // 1000 mm in front of camera 1, in its own coordinates: 1000 / 8 steps of
  // 8 mm, a thousandth of a PCL unit each.
  EXPECT_FLOAT_EQ(clouds.clouds[0].points[0].z, 0.125f);
}

TEST(AlignmentCollector, ACycleWhereACameraGaveAnOlderFrameIsReplacedByALaterOne) {
  CameraSettings cameras = DefaultCameras();
  for (CameraSetting& camera : cameras) camera.maxDepth = 100;
  AlignmentCollector collector(cameras, {true, true, false, false}, 3);
  CycleFrame cycle;
  int leftAfter = -1;
  std::vector<std::vector<std::uint16_t>> kept;
  for (int n = 0; n <= 80 && leftAfter < 0; ++n) {
    // Cycle n's frames read 1000 + 8 n mm, so the clouds tell which cycles
    // they hold. In cycle 20 camera 2 hands over the frame before, taken a
    // frame period earlier on the recorder's clock.
    const bool behind = n == 20;
    kept.push_back(FlatFrame(1000 + 8 * n));
    std::vector<std::uint16_t>& older = kept.size() > 1 ? kept[kept.size() - 2] : kept.back();
    const DepthFrameView now{kept.back().data(), DepthFrameFormat()}, before{older.data(), DepthFrameFormat()};
    for (int camera = 0; camera < 2; ++camera) {
      CameraFrame frame;
      frame.camera = camera;
      const bool old = behind && camera == 1;
      frame.depth = old ? &before : &now;
      collector.OnCameraFrame(frame);
      cycle.mappedMs[camera] = 250000.0 + 0.7 * camera + 33.3 * (old ? n - 1 : n);
    }
    if (!collector.OnCycle(cycle)) leftAfter = n;
  }
  // Cycles 0, 20, 40 and 60 gathered; 20 left out.
  EXPECT_EQ(leftAfter, 60);
  EXPECT_EQ(collector.CyclesGathered(), 4);
  collector.Finish();  // as the job does once it has detached it
  const AlignmentClouds& clouds = collector.Clouds();
  EXPECT_EQ(clouds.cycles, 3);
  EXPECT_EQ(clouds.leftOut, 1);
  for (int camera = 0; camera < 2; ++camera) {
    const auto& points = clouds.clouds[camera].points;
    ASSERT_EQ(points.size(), 3u * 320 * 240);
    // (1000 + 8 n) / 8 steps of a thousandth: 0.125 + n / 1000.
    EXPECT_FLOAT_EQ(points[0].z, 0.125f);
    EXPECT_FLOAT_EQ(points[320 * 240].z, 0.165f);
    EXPECT_FLOAT_EQ(points[2 * 320 * 240].z, 0.185f);
  }
}

class AlignmentJobTest : public ::testing::Test {
 protected:
  // Simulated cameras delivering as fast as the engine takes them, the
  // preview loop running without a window.
  void Start(const std::string& sensors, std::array<int, kCameraCount> enabled) {
    std::string error;
    engine_ = std::make_unique<CRecorder>(MakeSensorBackend(sensors, 0, &error));
    OperatorSettings settings = engine_->owner->Settings();
    for (int slot = 0; slot < kCameraCount; ++slot) settings.cameraEnabled[slot] = enabled[slot];
    settings.calibration = 0.00125f;  // the simulated scene's true scale
    engine_->owner->StoreSettings(settings);
    engine_->StartPreview();
  }
  OperatorSettings Settings() const { return engine_->owner->Settings(); }

  std::unique_ptr<CRecorder> engine_;
};

TEST_F(AlignmentJobTest, GathersFromTheRunningPreviewAndAlignsRightPosesInPlace) {
  Start("sim:2", {1, 1, 0, 0});
  AlignmentJob job(*engine_, Settings(), engine_->Cameras(), 2, -1);
  ASSERT_TRUE(Eventually([&] { return job.Finished(); }, std::chrono::seconds(120)));
  ASSERT_EQ(job.Poll(), AlignmentJob::State::Done) << job.Error();
  const AlignmentReport& report = job.Report();
  ASSERT_EQ(report.cameras.size(), 2u);
  EXPECT_TRUE(report.cameras[0].reference);
  EXPECT_TRUE(report.cameras[1].aligned) << report.cameras[1].problem;
  EXPECT_LT(report.cameras[1].correctionCm, 1.0);
  // The preview went on while the job gathered and aligned, and goes on after.
  const std::uint64_t cycles = engine_->PreviewCycles();
  EXPECT_TRUE(Eventually([&] { return engine_->PreviewCycles() > cycles + 5; }));
}

TEST_F(AlignmentJobTest, AJobEndedWhileItGathersLeavesThePreviewRunning) {
  Start("sim:4", {1, 1, 1, 1});
  {
    AlignmentJob job(*engine_, Settings(), engine_->Cameras(), 1000, -1);
    ASSERT_TRUE(Eventually([&] { return engine_->PreviewCycles() > 10; }));
    EXPECT_EQ(job.Poll(), AlignmentJob::State::Gathering);
  }  // the window closed, or the operator pressed Align and then quit
  const std::uint64_t cycles = engine_->PreviewCycles();
  EXPECT_TRUE(Eventually([&] { return engine_->PreviewCycles() > cycles + 5; }));
  EXPECT_TRUE(engine_->IsPreviewRunning());
}

TEST_F(AlignmentJobTest, CamerasThatCannotTakePartAreNamedAtOnce) {
  Start("sim:1", {1, 1, 0, 0});
  AlignmentJob noSensor(*engine_, Settings(), engine_->Cameras(), 2, -1);
  EXPECT_EQ(noSensor.Poll(), AlignmentJob::State::Failed);
  EXPECT_NE(noSensor.Error().find("camera 2"), std::string::npos) << noSensor.Error();

  OperatorSettings one = Settings();
  one.cameraEnabled[1] = 0;
  AlignmentJob alone(*engine_, one, engine_->Cameras(), 2, -1);
  EXPECT_EQ(alone.Poll(), AlignmentJob::State::Failed);
  EXPECT_NE(alone.Error().find("two"), std::string::npos) << alone.Error();
}

}  // namespace
}  // namespace kestrova
