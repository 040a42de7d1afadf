// The frame consumers' thread contract, checked from inside the calls: a
// camera's call never overlaps another of the same camera, no camera call
// runs during a cycle call, each camera call hands over that camera's own
// clouds, and a cycle call comes after all of its camera calls. Consumers
// attached to a running loop, detached by hand or done by themselves, get
// no call afterwards. Every wait is bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "capture/SensorChoice.h"
#include "core/Recorder.h"
#include "tests/support/TakeFiles.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiting.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::Eventually;

// Records every breach of the contract as a text; the test fails on any.
class ContractWatcher : public FrameConsumer {
 public:
  explicit ContractWatcher(const CRecorder& engine, int wantedCycles = 0)
      : engine_(engine), wantedCycles_(wantedCycles) {}

  void OnCameraFrame(const CameraFrame& frame) override {
    ++running_;
    const int camera = frame.camera;
    if (camera < 0 || camera >= kCameraCount) return Breach("camera number out of range");
    if (inCall_[camera].exchange(true)) Breach("two calls of one camera at once");
    if (frame.final != &engine_.clouds[camera] || frame.thinned != &engine_.workClouds[camera])
      Breach("camera " + std::to_string(camera) + " was handed another camera's clouds");
    if (frame.depth == nullptr || frame.depth->format.Pixels() == 0) Breach("no depth pixels");
    if (frame.thinned->empty()) Breach("an empty thinned cloud for a delivered frame");
    seenInCycle_[camera] = cycles_.load();
    ++callsOf_[camera];
    std::this_thread::sleep_for(1ms);  // widens the window in which an overlap would show
    inCall_[camera] = false;
    ++cameraCalls_;
    --running_;
  }

  bool OnCycle(const CycleFrame& cycle) override {
    if (running_ != 0) Breach("a cycle call while a camera call runs");
    if (cycle.settings == nullptr) Breach("a cycle without its settings");
    for (int i = 0; i < kCameraCount; ++i) {
      const bool delivered = cycle.results[i] == GrabResult::Delivered;
      if (delivered && seenInCycle_[i] != cycles_)
        Breach("camera " + std::to_string(i) + " delivered but its call did not come first");
      if (cycle.final[i] != &engine_.clouds[i]) Breach("the cycle holds another camera's cloud");
    }
    ++cycles_;
    return wantedCycles_ == 0 || cycles_ < wantedCycles_;
  }

  std::string Breaches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return breaches_;
  }
  int Cycles() const { return cycles_; }
  int CameraCalls() const { return cameraCalls_; }
  int CallsOf(int camera) const { return callsOf_[camera]; }

 private:
  void Breach(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (breaches_.find(what) == std::string::npos) breaches_ += what + "; ";
  }

  const CRecorder& engine_;
  const int wantedCycles_;
  std::atomic<int> running_{0}, cycles_{0}, cameraCalls_{0};
  std::atomic<bool> inCall_[kCameraCount] = {};
  std::atomic<int> seenInCycle_[kCameraCount] = {-1, -1, -1, -1};
  std::atomic<int> callsOf_[kCameraCount] = {};
  std::mutex mutex_;
  std::string breaches_;
};

std::unique_ptr<CRecorder> FourCameras() {
  std::string error;
  auto engine = std::make_unique<CRecorder>(MakeSensorBackend("sim:4", 60, &error));
  engine->owner->Modify([](OperatorSettings& s) {
    for (int& enabled : s.cameraEnabled) enabled = 1;
  });
  return engine;
}

TEST(FrameConsumer, ATakeAndAnAttachedConsumerShareTheCyclesUnderTheContract) {
  testing::TempDir dir;
  auto engine = FourCameras();
  ContractWatcher watcher(*engine);
  engine->Attach(&watcher);
  engine->SetOutputDir(dir.path());
  engine->SetTakeCycleLimit(40);
  std::string error;
  ASSERT_TRUE(engine->StartRecording(&error)) << error;
  ASSERT_TRUE(Eventually([&] { return !engine->TakeThreadAlive(); }, 30s));
  engine->Detach(&watcher);
  EXPECT_EQ(watcher.Breaches(), "");
  EXPECT_EQ(engine->LastTake().end, TakeEnd::CycleLimit);
  EXPECT_EQ(watcher.Cycles(), 40);
  // The take, a consumer of the same cycles, has a line for every frame the
  // watcher was handed (a simulated camera held up on a busy machine may
  // miss a moment: then neither has it).
  for (int n = 1; n <= 4; ++n) {
    EXPECT_EQ(testing::ReadTimeStampLines(dir.File("TS" + std::to_string(n) + ".txt")).size(),
              static_cast<size_t>(watcher.CallsOf(n - 1)));
    EXPECT_GE(watcher.CallsOf(n - 1), 36);
  }
}

TEST(FrameConsumer, AConsumerAttachedToTheRunningPreviewLeavesWhenItHasEnough) {
  auto engine = FourCameras();
  engine->StartPreview();
  ASSERT_TRUE(Eventually([&] { return engine->PreviewCycles() >= 2; }, 10s));
  ContractWatcher watcher(*engine, 5);
  engine->Attach(&watcher);
  ASSERT_TRUE(Eventually([&] { return watcher.Cycles() >= 5; }, 10s));
  const std::uint64_t after = engine->PreviewCycles();
  ASSERT_TRUE(Eventually([&] { return engine->PreviewCycles() >= after + 5; }, 10s));
  EXPECT_EQ(watcher.Cycles(), 5);  // detached by its own answer
  EXPECT_TRUE(engine->IsPreviewRunning());  // and the preview went on
  EXPECT_EQ(watcher.Breaches(), "");
  engine->Close();
}

TEST(FrameConsumer, NoCallAfterDetachReturnsWhileFramesFlow) {
  auto engine = FourCameras();
  engine->StartPreview();
  for (int round = 0; round < 5; ++round) {
    ContractWatcher watcher(*engine);
    engine->Attach(&watcher);
    ASSERT_TRUE(Eventually([&] { return watcher.Cycles() >= 2; }, 10s));
    engine->Detach(&watcher);
    const int cycles = watcher.Cycles(), calls = watcher.CameraCalls();
    const std::uint64_t after = engine->PreviewCycles();
    ASSERT_TRUE(Eventually([&] { return engine->PreviewCycles() >= after + 3; }, 10s));
    EXPECT_EQ(watcher.Cycles(), cycles);
    EXPECT_EQ(watcher.CameraCalls(), calls);
    EXPECT_EQ(watcher.Breaches(), "");
  }
  engine->Close();
}

TEST(FrameConsumer, DetachOfAConsumerNeverAttachedOrOfAStoppedEngineReturnsAtOnce) {
  auto engine = FourCameras();
  ContractWatcher watcher(*engine);
  engine->Detach(&watcher);
  engine->Attach(&watcher);
  engine->Detach(&watcher);
  EXPECT_EQ(watcher.Cycles(), 0);
}

}  // namespace
}  // namespace kestrova
