// From depth pixels to the posed, cropped cloud: the worked examples, the
// depth-limit edges and the degenerate settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <limits>


#include "bench/LibraryPipeline.h"
#include "capture/CloudProcessing.h"
#include "capture/DepthConversion.h"
#include "capture/DepthPipeline.h"
#include "capture/NuiSensor.h"
#include "capture/SimulatedScene.h"

namespace kestrova {
namespace {

// How far a centroid may lie from the library's, in float steps.
constexpr double kLargestCentroidSteps = 32;  // 28 measured, in 14 cm cells

std::uint16_t Pixel(int depthMm, int lowBits = 0) {
  return static_cast<std::uint16_t>((depthMm << 3) | lowBits);
}

// One frame holding a single reading; every other pixel is beyond any limit.
std::vector<std::uint16_t> FrameWith(int row, int column, std::uint16_t pixel) {
  std::vector<std::uint16_t> frame(kDefaultDepthPixels, Pixel(8191));
  frame[row * kDefaultDepthWidth + column] = pixel;
  return frame;
}

Cloud Convert(const std::vector<std::uint16_t>& frame, int limit) {
  Cloud cloud;
  ConvertDepthFrame(DepthFrameView{frame.data(), DepthFrameFormat()}, limit, cloud);
  return cloud;
}

TEST(DepthLimit, PercentOf8192FlooredInDouble) {
  EXPECT_EQ(DepthLimit(15), 1228);
  EXPECT_EQ(DepthLimit(50), 4096);
  EXPECT_EQ(DepthLimit(100), 8192);
  EXPECT_EQ(DepthLimit(99.99f), 8191);
  EXPECT_LT(DepthLimit(-1), 0);
  EXPECT_EQ(DepthLimit(std::numeric_limits<float>::quiet_NaN()), -1);
  EXPECT_EQ(DepthLimit(1e30f), std::numeric_limits<int>::max());
}

TEST(DepthConversion, WorkedExamplesToTheFloat) {
  Cloud first = Convert(FrameWith(0, 0, Pixel(8000)), 8190);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].x, -0.56016004f);
  EXPECT_EQ(first[0].y, 0.42012000f);
  EXPECT_EQ(first[0].z, 1.0f);

  Cloud last = Convert(FrameWith(239, 319, Pixel(1228)), 1228);
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].x, 0.085168831f);
  EXPECT_EQ(last[0].y, -0.063742705f);
  EXPECT_EQ(last[0].z, 0.153f);

  Cloud centre = Convert(FrameWith(120, 160, Pixel(5000)), 8190);
  ASSERT_EQ(centre.size(), 1u);
  EXPECT_EQ(centre[0].x, 0.0f);
  EXPECT_EQ(centre[0].y, 0.0f);
  EXPECT_EQ(centre[0].z, 0.625f);
}

// The default lens gives, pixel for pixel, the fixed formula of the 320 x 240
// frame: x = (column - 160) * 0.003501f * z, y = (120 - row) * 0.003501f * z.
// A 640 x 480 frame of the default lens's field of view sees the same rays
// at its corners (fx twice as long, the axis at 320, 240), and a frame
// whose rows are padded gives the points of the packed one.
TEST(DepthConversion, EachLensAndStrideGivesItsOwnRaysAndTheDefaultTheFixedFormula) {
  std::vector<std::uint16_t> frame(kDefaultDepthPixels);
  for (int k = 0; k < kDefaultDepthPixels; ++k) frame[k] = Pixel(8 + (k * 37) % 8180, k % 8);
  const Cloud converted = Convert(frame, 8192);
  ASSERT_EQ(converted.size(), static_cast<size_t>(kDefaultDepthPixels));
  const double c = 0.003501f;  // the fixed inverse focal length, a float
  int wrong = 0;
  for (int k = 0; k < kDefaultDepthPixels; ++k) {
    const int row = k / 320, column = k % 320;
    const float z = static_cast<float>(((frame[k] >> 3) >> 3) / 1000.0);
    const pcl::PointXYZ expected(static_cast<float>((column - 160) * c * z), static_cast<float>((120 - row) * c * z),
                                 z);
    if (converted[k].x != expected.x || converted[k].y != expected.y || converted[k].z != expected.z) ++wrong;
  }
  EXPECT_EQ(wrong, 0);

  const DepthFrameFormat large = ScaledDefaultFormat(640, 480);
  EXPECT_EQ(large.lens.fx, 2 / c);
  EXPECT_EQ(large.lens.cx, 320);
  EXPECT_EQ(large.lens.cy, 240);
  std::vector<std::uint16_t> big(640 * 480, Pixel(8191));
  big[0] = Pixel(8000);  // row 0, column 0: the ray of the 320 x 240 frame's first pixel
  Cloud corner;
  ConvertDepthFrame(DepthFrameView{big.data(), large}, 8190, corner);
  ASSERT_EQ(corner.size(), 1u);
  EXPECT_EQ(corner[0].x, -0.56016004f);
  EXPECT_EQ(corner[0].y, 0.42012000f);
  EXPECT_EQ(corner[0].z, 1.0f);

  DepthFrameFormat padded;
  padded.rowStride = 333;
  std::vector<std::uint16_t> rows(padded.BufferPixels(), Pixel(100));  // the padding would pass the limit
  for (int row = 0; row < 240; ++row)
    std::copy(frame.begin() + row * 320, frame.begin() + (row + 1) * 320, rows.begin() + row * 333);
  Cloud fromPadded;
  ConvertDepthFrame(DepthFrameView{rows.data(), padded}, 8192, fromPadded);
  ASSERT_EQ(fromPadded.size(), converted.size());
  for (size_t i = 0; i < converted.size(); ++i)
    ASSERT_TRUE(fromPadded[i].x == converted[i].x && fromPadded[i].y == converted[i].y &&
                fromPadded[i].z == converted[i].z)
        << i;
}

TEST(DepthConversion, DepthLimitEdgesAndNoLowerBound) {
  const int limit = DepthLimit(15);
  EXPECT_EQ(Convert(FrameWith(10, 10, Pixel(1228, 7)), limit).size(), 1u);  // low bits ignored
  EXPECT_EQ(Convert(FrameWith(10, 10, Pixel(1229)), limit).size(), 0u);
  for (int d = 0; d <= 7; ++d) {
    Cloud cloud = Convert(FrameWith(3, 7, Pixel(d)), limit);
    ASSERT_EQ(cloud.size(), 1u);
    EXPECT_EQ(cloud[0].x, 0.0f);
    EXPECT_EQ(cloud[0].y, 0.0f);
    EXPECT_EQ(cloud[0].z, 0.0f);
  }
  EXPECT_EQ(Convert(FrameWith(3, 7, Pixel(15)), limit)[0].z, 0.001f);
  std::vector<std::uint16_t> all(kDefaultDepthPixels, Pixel(8191));
  EXPECT_EQ(Convert(all, DepthLimit(100)).size(), static_cast<size_t>(kDefaultDepthPixels));
  EXPECT_EQ(Convert(all, DepthLimit(-5)).size(), 0u);
}

TEST(DepthConversion, ZIsTheQuotientRoundedToFloatForEveryDepthStep) {
  std::vector<std::uint16_t> frame(kDefaultDepthPixels);
  for (int k = 0; k < kDefaultDepthPixels; ++k) frame[k] = Pixel((k % 1024) * 8);
  Cloud cloud = Convert(frame, 8192);
  ASSERT_EQ(cloud.size(), static_cast<size_t>(kDefaultDepthPixels));
  for (int q = 0; q < 1024; ++q) EXPECT_EQ(cloud[q].z, static_cast<float>(q) / 1000.0f) << q;
  EXPECT_EQ(cloud.width, cloud.size());
  EXPECT_EQ(cloud.height, 1u);
}

TEST(CloudProcessing, DefaultLeafAndCropLimits) {
  OperatorSettings defaults;
  EXPECT_EQ(LeafSize(defaults.calibration, defaults.resolution), 0.0012f);
  // Each limit is the float product of the bound and 0.0012f: within an
  // ulp of the decimal value.
  CropBox box = CropLimits(defaults);
  EXPECT_FLOAT_EQ(box.min[0], -0.0348f);
  EXPECT_FLOAT_EQ(box.max[0], 0.0312f);
  EXPECT_FLOAT_EQ(box.min[1], -0.0492f);
  EXPECT_FLOAT_EQ(box.max[1], -0.0048f);
  EXPECT_FLOAT_EQ(box.min[2], -0.0264f);
  EXPECT_FLOAT_EQ(box.max[2], 0.0156f);
  EXPECT_EQ(box.max[0], 26.0f * 0.0012f);
}

Eigen::Vector3f Moved(const CameraSetting& camera, float s, Eigen::Vector3f p) {
  return PoseTransform(camera, s) * p;
}

TEST(CloudProcessing, PoseWorkedExamples) {
  CameraSetting turned{10, 0, 0, 0, 90, 0, 0, 0, 0, 15};
  Eigen::Vector3f a = Moved(turned, 0.0012f, {0, 0, 1});
  EXPECT_NEAR(a.x(), 1.012f, 1e-6);
  EXPECT_EQ(a.y(), 0.0f);
  EXPECT_NEAR(a.z(), -4.4e-8f, 1e-8);

  // The rotation about x comes first: (0, 0, 1) goes to (1, 0, 0), not (0, -1, 0).
  CameraSetting xThenZ{0, 0, 0, 90, 0, 90, 0, 0, 0, 15};
  Eigen::Vector3f b = Moved(xThenZ, 0.0012f, {0, 0, 1});
  EXPECT_NEAR(b.x(), 1.0f, 1e-6);
  EXPECT_NEAR(b.y(), 0.0f, 1e-6);
  EXPECT_NEAR(b.z(), 0.0f, 1e-6);

  CameraSetting camera1 = DefaultCameraSetting(0);
  Eigen::Vector3f origin = Moved(camera1, 0.0012f, {0, 0, 0});
  EXPECT_NEAR(origin.x(), 0.0036f, 1e-7);
  EXPECT_EQ(origin.y(), 0.0f);
  EXPECT_NEAR(origin.z(), -0.084f, 1e-7);
  Eigen::Vector3f ahead = Moved(camera1, 0.0012f, {0, 0, 1});
  EXPECT_NEAR(ahead.x(), -0.039958f, 1e-6);
  EXPECT_NEAR(ahead.y(), -0.291029f, 1e-6);
  EXPECT_NEAR(ahead.z(), 0.871722f, 1e-6);
}

TEST(CloudProcessing, RotationsUseSinesAndCosinesTakenInDouble) {
  // 121.7 degrees is 2.124065637588501 rad as a float; its cosine is
  // -0.52547162771... and its sine 0.85081112384..., whose nearest floats
  // are 0xbf06854f and 0x3f59cec2. The single-precision cosine lands a float
  // step away (-0.525471568).
  const float cosine = -0.5254716277122498f, sine = 0.8508111238479614f;
  for (int axis = 0; axis < 3; ++axis) {
    CameraSetting turned{0, 0, 0, 0, 0, 0, 0, 0, 0, 15};
    (axis == 0 ? turned.rx : axis == 1 ? turned.ry : turned.rz) = 121.7f;
    const Eigen::Matrix4f m = PoseTransform(turned, 0.0012f).matrix();
    const int a = (axis + 1) % 3, b = (axis + 2) % 3;
    EXPECT_EQ(m(a, a), cosine) << "axis " << axis;
    EXPECT_EQ(m(b, b), cosine) << "axis " << axis;
    EXPECT_EQ(m(b, a), sine) << "axis " << axis;
    EXPECT_EQ(m(a, b), -sine) << "axis " << axis;
    EXPECT_EQ(m(axis, axis), 1.0f);
  }
}

Cloud Points(std::initializer_list<pcl::PointXYZ> points) {
  Cloud cloud;
  for (const auto& p : points) cloud.push_back(p);
  return cloud;
}

TEST(CloudProcessing, ThinsToOneCentroidPerCell) {
  OperatorSettings settings;
  settings.xMin = settings.yMin = settings.zMin = -1000;
  settings.xMax = settings.yMax = settings.zMax = 1000;
  CameraSetting still{0, 0, 0, 0, 0, 0, 0, 0, 0, 15};
  Cloud raw = Points({{0.0001f, 0.0001f, 0.5001f}, {0.0003f, 0.0003f, 0.5003f}, {0.1f, 0.1f, 0.6f}});
  Cloud work, out;
  CloudProcessor().Process(raw, settings, still, work, out);
  ASSERT_EQ(work.size(), 2u);
  EXPECT_EQ(out.size(), 2u);
  bool centroid = false;
  for (const auto& p : work) centroid |= std::abs(p.x - 0.0002f) < 1e-7f && std::abs(p.z - 0.5002f) < 1e-6f;
  EXPECT_TRUE(centroid);
}

TEST(CloudProcessing, EmptyInputAndInvertedBoxGiveEmptyCloudsSilently) {
  OperatorSettings settings;
  Cloud work = Points({{1, 1, 1}}), out = Points({{1, 1, 1}});
  // What a depth limit that keeps no pixel (-5 %, not a number) hands over, every frame.
  ::testing::internal::CaptureStderr();
  CloudProcessor().Process(Cloud(), settings, DefaultCameraSetting(0), work, out);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(work.empty());
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(out.width, 0u);

  CameraSetting still{0, 0, 0, 0, 0, 0, 0, 0, 0, 15};
  settings.xMin = 10;  // above xMax
  ::testing::internal::CaptureStderr();
  CloudProcessor().Process(Points({{0.01f, -0.02f, 0.0f}}), settings, still, work, out);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(work.size(), 1u);
  EXPECT_TRUE(out.empty());
}

TEST(CloudProcessing, DegenerateLeafMeansNoThinningAndNoWarnings) {
  Cloud raw;
  for (int i = 0; i < 200; ++i) raw.push_back({i * 0.001f, -i * 0.0005f, 0.3f + i * 0.002f});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float calibration, resolution;
  } cases[] = {{0.0012f, 0}, {0.0012f, -5}, {0, 100}, {-0.0012f, 100}, {nan, 100},
               {0.0012f, std::numeric_limits<float>::infinity()}, {0.0012f, 1e9f}};
  for (const Case& c : cases) {
    OperatorSettings settings;
    settings.calibration = c.calibration;
    settings.resolution = c.resolution;
    Cloud work, out;
    ::testing::internal::CaptureStderr();
    CloudProcessor().Process(raw, settings, DefaultCameraSetting(0), work, out);
    std::string warnings = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(work.size(), raw.size()) << c.calibration << " " << c.resolution;
    EXPECT_EQ(warnings, "") << c.calibration << " " << c.resolution;
  }
}

// The largest difference between two clouds that must hold the same number
// of points in the same cells and order, in float steps at each point's
// size: the spacing of floats at its largest coordinate (a coordinate near
// 0 is the difference of larger numbers, exact only to their steps).
double LargestDifference(const Cloud& got, const Cloud& expected, const std::string& what) {
  EXPECT_EQ(got.size(), expected.size()) << what;
  if (got.size() != expected.size()) return -1;
  double largest = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    const Eigen::Vector3f a = got[i].getVector3fMap(), b = expected[i].getVector3fMap();
    const float size = std::max(b.cwiseAbs().maxCoeff(), std::numeric_limits<float>::min());
    const float step = std::nextafter(size, 2 * size) - size;
    largest = std::max(largest, static_cast<double>((a - b).cwiseAbs().maxCoeff() / step));
  }
  return largest;
}

// What each frame's clouds must show beside their agreement with the library.
enum class Outcome { kScene, kOneCell, kNone, kAllKept, kNothingKept, kUnthinned };

struct FrameCase {
  std::string name;
  std::vector<std::uint16_t> pixels;
  DepthFrameFormat format;
  OperatorSettings settings;
  CameraSetting camera;
  Outcome outcome = Outcome::kNone;
};

std::vector<FrameCase> FramesToCompare() {
  std::vector<FrameCase> cases;
  SimulatedScene scene;
  const DepthFrameFormat large = ScaledDefaultFormat(640, 480);
  for (int camera = 0; camera < kCameraCount; ++camera) {
    const CameraSetting setting = DefaultCameraSetting(camera);
    const SimCameraPose pose = PoseFromSetting(setting);
    for (double seconds : {0.0, 2.5}) {
      const std::string name = "camera " + std::to_string(camera + 1) + " at " + std::to_string(seconds) + " s";
      cases.push_back({name, RenderSensorFrame(scene, pose, seconds, 7 + camera), DepthFrameFormat(), {}, setting,
                       Outcome::kScene});
      cases.push_back({name + ", 640 x 480", RenderSensorFrame(scene, pose, seconds, 7 + camera, large), large, {},
                       setting, Outcome::kScene});
    }
  }
  const CameraSetting still{0, 0, 0, 0, 0, 0, 0, 0, 0, 15};
  const std::size_t pixels = kDefaultDepthPixels;
  cases.push_back({"every pixel empty (depth 0)", std::vector<std::uint16_t>(pixels, 0), {}, {}, still, Outcome::kOneCell});
  cases.push_back({"no pixel within the limit", std::vector<std::uint16_t>(pixels, Pixel(8191)), {}, {}, still});
  std::vector<std::uint16_t> full(pixels);
  std::mt19937 random(5);
  for (auto& p : full) p = Pixel(300 + static_cast<int>(random() % 900), static_cast<int>(random() % 8));
  OperatorSettings wide;
  wide.xMin = wide.yMin = wide.zMin = -1e6f;
  wide.xMax = wide.yMax = wide.zMax = 1e6f;
  cases.push_back({"every pixel set, a box that keeps everything", full, {}, wide, still, Outcome::kAllKept});
  cases.push_back({"every pixel set, default box", full, {}, {}, DefaultCameraSetting(2)});
  OperatorSettings nowhere;
  nowhere.xMin = 1000, nowhere.xMax = 2000;
  cases.push_back({"a box that keeps nothing", full, {}, nowhere, DefaultCameraSetting(0), Outcome::kNothingKept});
  OperatorSettings fine;
  fine.resolution = 1e6f;  // a leaf of 1.2e-7: more cells than 32 bits number
  cases.push_back({"a leaf too small for the bounds", full, {}, fine, still, Outcome::kUnthinned});
  std::vector<std::uint16_t> one(pixels, Pixel(8191));
  one[100] = Pixel(900), one[101] = Pixel(901);
  OperatorSettings tiny = wide;
  tiny.resolution = 1e9f;  // few cells, but far beyond 2^23 leaves from the origin
  cases.push_back({"two points at a tiny leaf", one, {}, tiny, still});
  OperatorSettings coarse;
  coarse.resolution = 7;
  cases.push_back({"a coarse leaf", full, {}, coarse, DefaultCameraSetting(1)});
  return cases;
}

// The pipeline against the plain conversion and the library's filters,
// frame by frame: the same
// cells and points in the same order; a centroid's coordinates may differ
// in their last bits, since the library adds a cell's points in the order
// its unstable sort leaves them.
TEST(CloudProcessing, AgreesWithTheLibrarysFiltersFrameByFrame) {
  double largest = 0;
  DepthPipeline pipeline;  // one for every frame, as a camera's
  for (const FrameCase& c : FramesToCompare()) {
    const DepthFrameView frame{c.pixels.data(), c.format};
    const Cloud raw = PlainConvert(frame, DepthLimit(c.camera.maxDepth));
    Cloud converted;
    CloudBounds bounds;
    ConvertDepthFrame(frame, DepthLimit(c.camera.maxDepth), converted, &bounds);
    ASSERT_EQ(converted.size(), raw.size()) << c.name;
    if (!raw.empty()) {  // the bounds the conversion hands over are the cloud's
      EXPECT_EQ(bounds.min.head<3>(), BoundsOf(raw).min.head<3>()) << c.name;
      EXPECT_EQ(bounds.max.head<3>(), BoundsOf(raw).max.head<3>()) << c.name;
    }
    Cloud expectedWork, expectedOut;
    ::testing::internal::CaptureStderr();  // the library warns about the leaf too small
    LibraryPipeline(raw, c.settings, c.camera, FilterInputs::kHeapCopies, expectedWork, expectedOut);
    ::testing::internal::GetCapturedStderr();
    Cloud work, out;
    ::testing::internal::CaptureStderr();
    pipeline.Run(frame, c.settings, c.camera, work, out);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << c.name;
    largest = std::max(largest, LargestDifference(work, expectedWork, c.name + ", thinned"));
    largest = std::max(largest, LargestDifference(out, expectedOut, c.name + ", final"));
    switch (c.outcome) {
      case Outcome::kScene:
        EXPECT_GT(out.size(), 100u) << c.name;
        break;
      case Outcome::kOneCell:
        EXPECT_EQ(work.size(), 1u) << "all at the origin";
        break;
      case Outcome::kAllKept:
        EXPECT_EQ(out.size(), work.size());
        break;
      case Outcome::kNothingKept:
        EXPECT_TRUE(out.empty());
        break;
      case Outcome::kUnthinned:
        EXPECT_EQ(work.size(), raw.size());
        break;
      case Outcome::kNone:
        break;
    }
  }
  std::printf("largest difference from the library's centroids: %.2f float steps\n", largest);
  EXPECT_LE(largest, kLargestCentroidSteps);
}

// Clouds no camera gives, against the library the same way: points that
// are not finite in a cloud that says so, more cells than an int counts,
// points on the crop's limits and limits that are not numbers.
TEST(CloudProcessing, AgreesWithTheLibraryOnCloudsNoCameraGives) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  struct Case {
    std::string name;
    Cloud cloud;
    OperatorSettings settings;
  };
  std::vector<Case> cases;
  OperatorSettings unit;  // calibration 1: the limits are the region's numbers; a leaf of 0.01
  unit.calibration = 1;
  unit.resolution = 10000;
  unit.xMin = -0.25f, unit.xMax = 0.5f, unit.yMin = -1, unit.yMax = 0.125f, unit.zMin = 0, unit.zMax = 2;
  Cloud mixed = Points({{0.1f, 0.2f, 0.3f}, {nan, 0, 1}, {0.5f, 0.125f, 2}, {0, inf, 1}, {-0.25f, -1, 0},
                        {0.11f, 0.21f, 0.31f}, {-inf, 0, 0}, {0.5001f, 0, 1}, {0.104f, 0.204f, 0.304f}});
  mixed.is_dense = false;
  cases.push_back({"points that are not finite", mixed, unit});
  OperatorSettings unthinned = unit;
  unthinned.resolution = 0;
  cases.push_back({"points that are not finite, not thinned, some on the limits", mixed, unthinned});
  OperatorSettings nanLimits = unit;
  nanLimits.xMin = nan, nanLimits.zMax = nan;
  cases.push_back({"limits that are not numbers", mixed, nanLimits});
  // A leaf of 1: 1290 cells a side by the library's guard, 1291 by its cell
  // numbers, so numbers past 2^31.
  OperatorSettings wide;
  wide.calibration = 0.01f, wide.resolution = 1;
  wide.xMin = wide.yMin = wide.zMin = -1e9f, wide.xMax = wide.yMax = wide.zMax = 1e9f;
  Cloud far = Points({{0.5f, 0.5f, 0.5f}, {1290.4f, 1290.4f, 1290.4f}, {1290.2f, 1290.1f, 1290.3f},
                      {700.5f, 3.5f, 1290.9f}, {0.7f, 0.2f, 0.9f}, {1.5f, 1290.2f, 1.5f}});
  cases.push_back({"cell numbers past 2^31", far, wide});
  // 2 x 257 x 8388608 cells by the numbers (256 x 8388607 by the guard): the
  // first point's number wraps to 2^32 - 1.
  cases.push_back({"cell numbers past 2^32",
                   Points({{1.05f, 128.5f, 4161663.0f}, {0.9f, 0.5f, -4194303.5f}, {1.1f, 256.4f, 4194303.0f},
                           {1.05f, 128.7f, 4161663.5f}}),
                   wide});

  for (const Case& c : cases) {
    Cloud work, out, expectedWork, expectedOut;
    const CameraSetting still{0, 0, 0, 0, 0, 0, 0, 0, 0, 15};
    LibraryPipeline(c.cloud, c.settings, still, FilterInputs::kHeapCopies, expectedWork, expectedOut);
    CloudProcessor().Process(c.cloud, c.settings, still, work, out);
    if (c.name.find("not thinned") == std::string::npos) {
      EXPECT_EQ(LargestDifference(work, expectedWork, c.name + ", thinned"), 0) << c.name;
    }
    EXPECT_EQ(LargestDifference(out, expectedOut, c.name + ", final"), 0) << c.name;
    EXPECT_FALSE(out.empty()) << c.name;
  }
}

}  // namespace
}  // namespace kestrova
