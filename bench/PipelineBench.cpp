// Speed of the per-camera pipeline on a realistic frame of the simulated
// scene at the default settings: the depth-to-point conversion (against a
// plain reference: a fresh cloud, push_back per point, no reserve), the
// thinning, posing and cropping, a whole camera-frame now and as built from
// the library's filters, and a whole cycle through the engine.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <map>
#include <string>

#include "bench/SceneFrame.h"
#include "bench/LibraryPipeline.h"
#include "capture/CloudProcessing.h"
#include "capture/DepthConversion.h"
#include "capture/DepthPipeline.h"
#include "capture/NuiSensor.h"
#include "capture/SensorChoice.h"
#include "capture/SimulatedScene.h"
#include "core/Recorder.h"

namespace kestrova {
namespace {

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
    const pcl::PointCloud<pcl::PointXYZ> cloud = PlainConvert(DepthFrameView{frame.data(), DepthFrameFormat()}, limit);
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

// One camera-frame from depth pixels to the cropped cloud, at the default
// settings, three ways. Argument 0: 0 the engine's pipeline now, 1 as it was
// built before from the library's filters (borrowed inputs, bounds checked
// first), 2 the plain way (a new cloud per frame, heap copies for every
// filter). Argument 1: 1 for a 640 x 480 frame.
void BM_CameraFrame(benchmark::State& state) {
  const bool large = state.range(1) != 0;
  const DepthFrameView frame{SceneFrame(1, large).data(), SceneFormat(large)};
  OperatorSettings settings;
  const CameraSetting camera = DefaultCameraSetting(1);
  const int limit = DepthLimit(camera.maxDepth);
  DepthPipeline pipeline;
  pcl::PointCloud<pcl::PointXYZ> raw, work, out;
  for (auto _ : state) {
    switch (state.range(0)) {
      case 0:
        pipeline.Run(frame, settings, camera, work, out);
        break;
      case 1:
        ConvertDepthFrame(frame, limit, raw);
        LibraryPipeline(raw, settings, camera, FilterInputs::kBorrowed, work, out);
        break;
      default:
        LibraryPipeline(PlainConvert(frame, limit), settings, camera, FilterInputs::kHeapCopies, work, out);
    }
    benchmark::DoNotOptimize(out.points.data());
  }
  state.counters["kept"] = static_cast<double>(out.size());
}
BENCHMARK(BM_CameraFrame)->ArgsProduct({{0, 1, 2}, {0, 1}})->Unit(benchmark::kMicrosecond);

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
    // With repetitions, the median stands for the benchmark.
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
        times[run.run_name.str()] = run.GetAdjustedCPUTime();
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
  auto ratio = [&reporter](const std::string& slow, const std::string& fast, const char* what) {
    auto a = reporter.times.find(slow), b = reporter.times.find(fast);
    if (a != reporter.times.end() && b != reporter.times.end() && b->second > 0)
      std::printf("%s: %.2fx faster\n", what, a->second / b->second);
  };
  ratio("BM_CameraFrame/1/0", "BM_CameraFrame/0/0", "camera-frame (320 x 240), now against before");
  ratio("BM_CameraFrame/2/0", "BM_CameraFrame/0/0", "camera-frame (320 x 240), now against the plain library pipeline");
  ratio("BM_CameraFrame/1/1", "BM_CameraFrame/0/1", "camera-frame (640 x 480), now against before");
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
