// Speed of the per-camera pipeline on a realistic frame of the simulated
// scene at the default settings: the depth-to-point conversion (against a
// plain reference: a fresh cloud, push_back per point, no reserve), the
// thinning, posing and cropping, and a whole cycle through the engine.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <map>
#include <string>

#include "bench/SceneFrame.h"
#include "capture/CloudProcessing.h"
#include "capture/DepthConversion.h"
#include "capture/NuiSensor.h"
#include "capture/SensorChoice.h"
#include "capture/SimulatedScene.h"
#include "core/Recorder.h"

namespace kestrova {
namespace {

// The conversion as written plainly: one new cloud per frame, grown point by point.
void ReferenceConvert(const std::uint16_t* pixels, int count, int limit,
                      pcl::PointCloud<pcl::PointXYZ>& cloud) {
  const float c = kDefaultInverseFocalLength;
  for (int k = 0; k < count; ++k) {
    int d = pixels[k] >> 3;
    if (d <= limit) {
      float z = static_cast<float>((d >> 3) / 1000.0);
      double x = (k % 320 - 160) * static_cast<double>(c) * z;
      double y = (120 - k / 320) * static_cast<double>(c) * z;
      cloud.push_back(pcl::PointXYZ(static_cast<float>(x), static_cast<float>(y), z));
    }
  }
}

// Argument 0: the depth limit in percent; argument 1: 1 for a 640 x 480 frame.
void BM_ConvertFrame(benchmark::State& state) {
  const bool large = state.range(1) != 0;
  const auto& frame = SceneFrame(0, large);
  const int limit = DepthLimit(static_cast<float>(state.range(0)));
  pcl::PointCloud<pcl::PointXYZ> cloud;
  for (auto _ : state) {
    ConvertDepthFrame(DepthFrameView{frame.data(), SceneFormat(large)}, limit, cloud);
    benchmark::DoNotOptimize(cloud.points.data());
  }
  state.counters["points"] = static_cast<double>(cloud.size());
}
BENCHMARK(BM_ConvertFrame)->Args({15, 0})->Args({100, 0})->Args({15, 1})->Unit(benchmark::kMicrosecond);

void BM_ConvertFrameReference(benchmark::State& state) {
  const auto& frame = SceneFrame();
  const int limit = DepthLimit(static_cast<float>(state.range(0)));
  size_t points = 0;
  for (auto _ : state) {
    pcl::PointCloud<pcl::PointXYZ> cloud;
    ReferenceConvert(frame.data(), kDefaultDepthPixels, limit, cloud);
    points = cloud.size();
    benchmark::DoNotOptimize(cloud.points.data());
  }
  state.counters["points"] = static_cast<double>(points);
}
BENCHMARK(BM_ConvertFrameReference)->Arg(15)->Arg(100)->Unit(benchmark::kMicrosecond);

// Argument: 1 for a 640 x 480 frame.
void BM_ProcessCloud(benchmark::State& state) {
  const bool large = state.range(0) != 0;
  const auto& frame = SceneFrame(0, large);
  pcl::PointCloud<pcl::PointXYZ> raw, work, out;
  CloudProcessor processor;
  ConvertDepthFrame(DepthFrameView{frame.data(), SceneFormat(large)}, DepthLimit(15), raw);
  OperatorSettings settings;
  CameraSetting camera = DefaultCameraSetting(0);
  for (auto _ : state) {
    processor.Process(raw, settings, camera, work, out);
    benchmark::DoNotOptimize(out.points.data());
  }
  state.counters["raw"] = static_cast<double>(raw.size());
  state.counters["thinned"] = static_cast<double>(work.size());
  state.counters["kept"] = static_cast<double>(out.size());
}
BENCHMARK(BM_ProcessCloud)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Waits for the loop's cycles one by one.
class CycleWaiter : public FrameConsumer {
 public:
  bool OnCycle(const CycleFrame&) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++cycles_;
    }
    next_.notify_all();
    return true;
  }
  void WaitForNext() {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t seen = cycles_;
    next_.wait_for(lock, std::chrono::seconds(5), [&] { return cycles_ > seen; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable next_;
  std::uint64_t cycles_ = 0;
};

// A whole cycle of one free-running simulated camera through the engine:
// the acquisition's copy, the cycle's assembly, the worker's conversion,
// thinning, pose and crop, and the hand-over to the consumers. Includes the
// sensor's own rendering of the frame on its thread when that cannot overlap.
// Argument: 1 for 640 x 480 frames.
void BM_EngineCycle(benchmark::State& state) {
  std::string error;
  CRecorder engine(MakeSensorBackend(state.range(0) ? "sim:1,size=640x480" : "sim:1", 0, &error));
  CycleWaiter waiter;
  engine.Attach(&waiter);
  engine.StartPreview();
  waiter.WaitForNext();
  for (auto _ : state) waiter.WaitForNext();
  state.counters["kept"] = static_cast<double>(engine.LastPointCount(0));
  engine.Detach(&waiter);
  engine.Close();
}
BENCHMARK(BM_EngineCycle)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What one simulated sensor spends on a frame: the moving objects over the
// pre-rendered static scene, then noise and encoding. Must stay far below the
// pipeline's cost, so that simulated cameras leave the cores to the recorder.
void BM_SimulatedFrame(benchmark::State& state) {
  SimulatedScene scene;
  SimCameraPose pose = PoseFromSetting(DefaultCameraSetting(0));
  const std::vector<std::uint16_t> staticDepth = scene.RenderStatic(pose);
  std::vector<std::uint16_t> depth(kDefaultDepthPixels), pixels(kDefaultDepthPixels);
  std::vector<std::uint8_t> label(kDefaultDepthPixels);
  std::uint32_t n = 0;
  for (auto _ : state) {
    std::copy(staticDepth.begin(), staticDepth.end(), depth.begin());
    std::fill(label.begin(), label.end(), 0);
    scene.RenderMoving(pose, n / 30.0, depth.data(), label.data());
    EncodeDepthPixels(depth.data(), label.data(), kDefaultDepthPixels, n++, pixels.data());
    benchmark::DoNotOptimize(pixels.data());
  }
}
BENCHMARK(BM_SimulatedFrame)->Unit(benchmark::kMicrosecond);

// Keeps each run's time so the conversion's speed-up can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace
}  // namespace kestrova

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  kestrova::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* limit : {"15", "100"}) {
    auto fast = reporter.times.find(std::string("BM_ConvertFrame/") + limit);
    auto plain = reporter.times.find(std::string("BM_ConvertFrameReference/") + limit);
    if (fast != reporter.times.end() && plain != reporter.times.end() && fast->second > 0)
      std::printf("conversion at max depth %s%%: %.2fx the reference\n", limit,
                  plain->second / fast->second);
  }
  benchmark::Shutdown();
  return 0;
}
