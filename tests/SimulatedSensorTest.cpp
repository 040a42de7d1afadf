// The simulated sensors: the scene they see, their pixels, their clocks,
// their queue and the faults they can be told to show.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <numeric>

#include "capture/SimulatedScene.h"
#include "capture/SimulatedSensor.h"
#include "capture/Event.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;

int Center(int column = 160, int row = 120) { return row * kDepthWidth + column; }

TEST(SimulatedScene, StaticDepthsAtHandWorkedPixels) {
  SimulatedScene scene;
  // Level with the rod's middle, 1 m in front of the common origin, looking
  // along +z: the rod's front face at z = -11 is 89 cm away.
  CameraSetting level{0, -31, -100, 0, 0, 0, 0, 0, 0, 15};
  EXPECT_EQ(scene.RenderStatic(PoseFromSetting(level))[Center()], 890);
  // Above the origin, turned 90 degrees about x: looking down at the floor 42 cm below.
  CameraSetting down{0, 0, 0, 90, 0, 0, 0, 0, 0, 15};
  EXPECT_EQ(scene.RenderStatic(PoseFromSetting(down))[Center()], 420);
  // Looking up: nothing to see, every pixel is a hole.
  CameraSetting up{0, 0, 0, -90, 0, 0, 0, 0, 0, 15};
  auto sky = scene.RenderStatic(PoseFromSetting(up));
  EXPECT_EQ(std::accumulate(sky.begin(), sky.end(), 0L), 0L);
}

TEST(SimulatedScene, MovingObjectsShowInEveryDefaultCamera) {
  SimulatedScene scene;
  for (int i = 0; i < kCameraCount; ++i) {
    SimCameraPose pose = PoseFromSetting(DefaultCameraSetting(i));
    std::vector<std::uint16_t> depth = scene.RenderStatic(pose);
    std::vector<std::uint8_t> label(kDepthPixels, 0);
    scene.RenderMoving(pose, 1.0, depth.data(), label.data());
    int ball = std::count(label.begin(), label.end(), 1);
    int box = std::count(label.begin(), label.end(), 2);
    EXPECT_GT(ball, 500) << "camera " << i + 1;
    EXPECT_GT(box, 200) << "camera " << i + 1;
  }
}

TEST(SimulatedScene, PixelsCarryDepthInBitsThreeUpAndALittleNoise) {
  std::vector<std::uint16_t> depth(kDepthPixels, 1000);
  depth[5] = 0;
  std::vector<std::uint8_t> label(kDepthPixels, 2);
  std::vector<std::uint16_t> pixels(kDepthPixels);
  EncodeDepthPixels(depth.data(), label.data(), 17, pixels.data());
  EXPECT_EQ(pixels[5], 0);
  double sum = 0;
  int lowest = 9000, highest = 0;
  for (int k = 0; k < kDepthPixels; ++k) {
    if (k == 5) continue;
    EXPECT_EQ(pixels[k] & 7, 2);
    int d = pixels[k] >> 3;
    sum += d;
    lowest = std::min(lowest, d);
    highest = std::max(highest, d);
  }
  EXPECT_NEAR(sum / (kDepthPixels - 1), 1000.0, 0.2);
  EXPECT_GE(lowest, 995);
  EXPECT_LE(highest, 1005);
  EXPECT_LT(lowest, highest);
}

class SimSensorTest : public ::testing::Test {
 protected:
  std::unique_ptr<SimulatedSensor> Open(int index, const SimOptions& options) {
    auto sensor = std::make_unique<SimulatedSensor>(index, options, scene_, worldStart_);
    EXPECT_EQ(sensor->NuiInitialize(NUI_INITIALIZE_FLAG_USES_DEPTH), S_OK);
    NuiStreamHandle stream;
    EXPECT_EQ(sensor->NuiImageStreamOpen(NUI_IMAGE_TYPE_DEPTH, NUI_IMAGE_RESOLUTION_320x240,
                                         NUI_IMAGE_STREAM_FLAG_ENABLE_NEAR_MODE, 2, nullptr, &stream),
              S_OK);
    stream_ = stream;
    return sensor;
  }
  NuiImageFrame Fetch(INuiSensor& sensor, NuiStreamHandle stream) {
    NuiImageFrame frame;
    EXPECT_EQ(sensor.NuiImageStreamGetNextFrame(stream, 5000, &frame), S_OK);
    return frame;
  }

  std::shared_ptr<SimulatedScene> scene_ = std::make_shared<SimulatedScene>();
  std::chrono::steady_clock::time_point worldStart_ = std::chrono::steady_clock::now();
  NuiStreamHandle stream_ = kNoStream;
};

TEST_F(SimSensorTest, TimeStampsFollowTheFrameRateOnEachSensorsOwnClock) {
  SimOptions options;
  auto first = Open(0, options);
  NuiStreamHandle firstStream = stream_;
  auto second = Open(1, options);
  NuiStreamHandle secondStream = stream_;
  NuiImageFrame a = Fetch(*first, firstStream);
  NuiImageFrame b = Fetch(*second, secondStream);
  // Sensors switched on at different moments: their clocks are ~7.9 s apart.
  EXPECT_NEAR(static_cast<double>(b.liTimeStamp.QuadPart - a.liTimeStamp.QuadPart), 7919.0, 500.0);
  first->NuiImageStreamReleaseFrame(firstStream, &a);
  second->NuiImageStreamReleaseFrame(secondStream, &b);

  NuiImageFrame previous = Fetch(*first, firstStream);
  std::int64_t previousStamp = previous.liTimeStamp.QuadPart;
  std::uint32_t previousNumber = previous.dwFrameNumber;
  first->NuiImageStreamReleaseFrame(firstStream, &previous);
  for (int i = 0; i < 5; ++i) {
    NuiImageFrame frame = Fetch(*first, firstStream);
    double expected = (frame.dwFrameNumber - previousNumber) * 1000.0 / 30.0;
    EXPECT_NEAR(static_cast<double>(frame.liTimeStamp.QuadPart - previousStamp), expected, 1.0);
    previousStamp = frame.liTimeStamp.QuadPart;
    previousNumber = frame.dwFrameNumber;
    first->NuiImageStreamReleaseFrame(firstStream, &frame);
  }
}

// The moving objects' pixels (the low three bits) of a frame.
std::vector<std::uint8_t> Labels(const NuiImageFrame& frame) {
  std::vector<std::uint8_t> labels(kDepthPixels);
  for (int k = 0; k < kDepthPixels; ++k) labels[k] = frame.pFrameTexture->pixels[k] & 7;
  return labels;
}

TEST_F(SimSensorTest, SensorsOpenedAtDifferentMomentsSeeOneWorldAtTheSameMoments) {
  // Sensor 2 stands where sensor 1 does, and is opened a tenth of a second
  // (three frames) later. Once what each had queued is taken, taking their
  // next frames one right after the other gives the same frame of the
  // world from both: same number, the moving objects in the same pixels.
  SimOptions options;
  options.moved[1] = true;
  options.truePose[1] = DefaultCameraSetting(0);
  auto first = Open(0, options);
  const NuiStreamHandle firstStream = stream_;
  std::this_thread::sleep_for(100ms);
  auto second = Open(1, options);
  const NuiStreamHandle secondStream = stream_;
  for (auto [sensor, stream] : {std::pair{first.get(), firstStream}, std::pair{second.get(), secondStream}}) {
    NuiImageFrame queued;
    while (sensor->NuiImageStreamGetNextFrame(stream, 0, &queued) == S_OK)
      sensor->NuiImageStreamReleaseFrame(stream, &queued);
  }
  int sameNumber = 0, sameObjects = 0;
  for (int i = 0; i < 8; ++i) {
    NuiImageFrame a = Fetch(*first, firstStream);
    NuiImageFrame b = Fetch(*second, secondStream);
    EXPECT_LE(std::abs(static_cast<int>(a.dwFrameNumber) - static_cast<int>(b.dwFrameNumber)), 1);
    if (a.dwFrameNumber == b.dwFrameNumber) {
      ++sameNumber;
      sameObjects += Labels(a) == Labels(b);
    }
    first->NuiImageStreamReleaseFrame(firstStream, &a);
    second->NuiImageStreamReleaseFrame(secondStream, &b);
  }
  // A frame period may begin between the two fetches, now and then.
  EXPECT_GE(sameNumber, 6);
  EXPECT_EQ(sameObjects, sameNumber);
}

TEST_F(SimSensorTest, SignalsFrameEndAndDropsTheOldestWhenNobodyFetches) {
  SimOptions options;
  auto sensor = Open(0, options);
  ManualResetEvent frameEnd;
  sensor->NuiSetFrameEndEvent(&frameEnd, 0);
  EXPECT_TRUE(frameEnd.Wait(5s));
  std::this_thread::sleep_for(400ms);
  NuiImageFrame frame = Fetch(*sensor, stream_);
  EXPECT_GE(frame.dwFrameNumber, 6u);
  EXPECT_GE(sensor->FramesDropped(), 4u);
  sensor->NuiImageStreamReleaseFrame(stream_, &frame);
  sensor->NuiSetFrameEndEvent(nullptr, 0);
}

TEST_F(SimSensorTest, StallStopsFramesAndFrameEnds) {
  SimOptions options;
  options.stallAfter[0] = 3;
  auto sensor = Open(0, options);
  for (int i = 0; i < 3; ++i) {
    NuiImageFrame frame = Fetch(*sensor, stream_);
    sensor->NuiImageStreamReleaseFrame(stream_, &frame);
  }
  ManualResetEvent frameEnd;
  sensor->NuiSetFrameEndEvent(&frameEnd, 0);
  NuiImageFrame frame;
  EXPECT_EQ(sensor->NuiImageStreamGetNextFrame(stream_, 300, &frame), E_NUI_FRAME_NO_DATA);
  frameEnd.Reset();  // the third frame's own signal may have come after the registration
  EXPECT_FALSE(frameEnd.Wait(100ms));
  EXPECT_EQ(sensor->FramesProduced(), 3u);
}

TEST_F(SimSensorTest, InjectedFetchFailureHitsExactlyThatFetch) {
  SimOptions options;
  options.failFetchAt[2] = 2;
  auto sensor = Open(2, options);
  NuiImageFrame frame = Fetch(*sensor, stream_);
  sensor->NuiImageStreamReleaseFrame(stream_, &frame);
  EXPECT_EQ(sensor->NuiImageStreamGetNextFrame(stream_, 1000, &frame), E_FAIL);
  frame = Fetch(*sensor, stream_);
  sensor->NuiImageStreamReleaseFrame(stream_, &frame);
}

// What 60 frames of camera 1 at 100 frames a second show with each timing
// fault, against a fault-free camera.
struct TimingFaultCase {
  const char* name;
  void (*inject)(SimOptions&);
  int minGaps, maxGaps;             // frames lost between two taken ones
  double minArrivalSpreadMs;        // spread of (arrival - stamp) over the frames
  double maxArrivalSpreadMs;
  double stampsPerHostMs;           // the clock's rate, over the 60 frames
};

void PrintTo(const TimingFaultCase& c, std::ostream* out) { *out << c.name; }

class SimTimingFaults : public SimSensorTest, public ::testing::WithParamInterface<TimingFaultCase> {};

TEST_P(SimTimingFaults, ShowInTheFramesAsToldAndNothingElse) {
  const TimingFaultCase& c = GetParam();
  SimOptions options;
  options.fps = 100;
  c.inject(options);
  auto sensor = Open(0, options);
  std::vector<std::uint32_t> numbers;
  std::vector<double> lateness;  // arrival on the host clock less the stamp
  std::int64_t firstStamp = 0, lastStamp = 0;
  for (int i = 0; i < 60; ++i) {
    NuiImageFrame frame = Fetch(*sensor, stream_);
    const double arrival = std::chrono::duration<double, std::milli>(
                               std::chrono::steady_clock::now().time_since_epoch()).count();
    numbers.push_back(frame.dwFrameNumber);
    lateness.push_back(arrival - static_cast<double>(frame.liTimeStamp.QuadPart));
    if (i == 0) firstStamp = frame.liTimeStamp.QuadPart;
    lastStamp = frame.liTimeStamp.QuadPart;
    sensor->NuiImageStreamReleaseFrame(stream_, &frame);
  }
  int gaps = 0;
  for (size_t i = 1; i < numbers.size(); ++i) {
    ASSERT_GT(numbers[i], numbers[i - 1]) << c.name << ": frames out of order";
    gaps += static_cast<int>(numbers[i] - numbers[i - 1]) - 1;
  }
  EXPECT_GE(gaps, c.minGaps) << c.name;
  EXPECT_LE(gaps, c.maxGaps) << c.name;
  const auto [low, high] = std::minmax_element(lateness.begin(), lateness.end());
  EXPECT_GE(*high - *low, c.minArrivalSpreadMs) << c.name;
  EXPECT_LE(*high - *low, c.maxArrivalSpreadMs) << c.name;
  // The clock's rate: stamps over the frames' own spacing (10 ms each),
  // within the whole milliseconds of the two stamps.
  const double hostMs = 10.0 * (numbers.back() - numbers.front());
  EXPECT_NEAR(static_cast<double>(lastStamp - firstStamp) / hostMs, c.stampsPerHostMs, 2.0 / hostMs) << c.name;
}

constexpr int kAnyGaps = 1000;
constexpr double kAnySpread = 1e9;

// Each fault is judged by what it shows; a busy machine may hold the
// sensor's thread up now and then, so the fault-free bounds leave room.
INSTANTIATE_TEST_SUITE_P(
    Faults, SimTimingFaults,
    ::testing::Values(
        TimingFaultCase{"none", [](SimOptions&) {}, 0, 4, 0, 40, 1.0},
        TimingFaultCase{"drop=1@50", [](SimOptions& o) { o.dropPercent[0] = 50; }, 25, kAnyGaps, 0, kAnySpread, 1.0},
        TimingFaultCase{"jitter=1@80", [](SimOptions& o) { o.jitterMs[0] = 80; }, 0, kAnyGaps, 45, kAnySpread, 1.0},
        TimingFaultCase{"drift=1@10000", [](SimOptions& o) { o.driftPpm[0] = 10000; }, 0, kAnyGaps, 0, kAnySpread, 1.01}),
    [](const ::testing::TestParamInfo<TimingFaultCase>& info) {
      std::string name = info.param.name;
      name = name.substr(0, name.find('='));
      return name;
    });

TEST_F(SimSensorTest, FreeRunningFramesAreReproducibleFromTheSeed) {
  SimOptions options;
  options.fps = 0;
  auto one = Open(1, options);
  NuiStreamHandle oneStream = stream_;
  auto two = Open(1, options);
  NuiStreamHandle twoStream = stream_;
  options.seed = 2;
  auto other = Open(1, options);
  NuiStreamHandle otherStream = stream_;
  for (int i = 0; i < 3; ++i) {
    NuiImageFrame a = Fetch(*one, oneStream), b = Fetch(*two, twoStream), c = Fetch(*other, otherStream);
    EXPECT_EQ(a.dwFrameNumber, static_cast<std::uint32_t>(i));  // nothing dropped
    EXPECT_EQ(a.pFrameTexture->pixels, b.pFrameTexture->pixels);
    EXPECT_NE(a.pFrameTexture->pixels, c.pFrameTexture->pixels);
    one->NuiImageStreamReleaseFrame(oneStream, &a);
    two->NuiImageStreamReleaseFrame(twoStream, &b);
    other->NuiImageStreamReleaseFrame(otherStream, &c);
  }
}

TEST_F(SimSensorTest, ShutdownEndsAWaitingFetch) {
  SimOptions options;
  options.stallAfter[0] = 0;
  auto sensor = Open(0, options);
  auto fetch = std::async(std::launch::async, [&] {
    NuiImageFrame frame;
    return sensor->NuiImageStreamGetNextFrame(stream_, NUI_INFINITE, &frame);
  });
  std::this_thread::sleep_for(50ms);
  sensor->NuiShutdown();
  ASSERT_EQ(fetch.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(fetch.get(), E_NUI_DEVICE_NOT_CONNECTED);
}

TEST_F(SimSensorTest, AbsentIndexHasNoSensor) {
  SimOptions options;
  options.present[0] = false;
  SimulatedBackend backend(options);
  std::unique_ptr<INuiSensor> sensor;
  EXPECT_EQ(backend.NuiCreateSensorByIndex(0, &sensor), E_NUI_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(backend.NuiCreateSensorByIndex(1, &sensor), S_OK);
  EXPECT_EQ(backend.NuiCreateSensorByIndex(4, &sensor), E_NUI_DEVICE_NOT_CONNECTED);
}

}  // namespace
}  // namespace kestrova
