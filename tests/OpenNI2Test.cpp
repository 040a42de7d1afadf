// The openni2 backend through OpenNI2 itself: OpenNI2 is loaded from a
// folder of the build (a copy of libOpenNI2.so.0 with OpenNI2/Drivers/
// beside it, found first through LD_LIBRARY_PATH), where it finds the fake
// driver of tests/support/FakeOniDriver.cpp and OpenNI2's own file driver.
// The fake's devices deliver the frames of FakeOniFrames.h.
//
// OpenNI2 keeps an error log per thread that called it, and tidies it later
// by asking whether each such thread still lives, which crashes once the
// thread has gone. The threads that deliver a camera's frames call it, and
// go when their stream does; so each test (its own process under ctest)
// streams from cameras in one OpenNI2 session at most, after any sessions
// in which no frame flowed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "capture/NuiSensor.h"
#include "tests/support/Terminal.h"
#include "capture/SensorChoice.h"
#include "record/TakeLens.h"
#include "tests/support/Commands.h"
#include "tests/support/FakeOniFrames.h"
#include "tests/support/TakeFiles.h"
#include "tests/support/TempDir.h"

namespace kestrova {
namespace {

using testing::Terminal;

// The cameras of a sensor spec, opened as the engine opens them.
struct Rig {
  std::unique_ptr<SensorBackend> backend;
  std::string error;
  std::unique_ptr<INuiSensor> sensors[4];
  NuiStreamHandle streams[4] = {kNoStream, kNoStream, kNoStream, kNoStream};
  HRESULT opened[4] = {E_FAIL, E_FAIL, E_FAIL, E_FAIL};

  ~Rig() {
    for (auto& sensor : sensors)
      if (sensor) sensor->NuiShutdown();
  }
};

std::unique_ptr<Rig> OpenRig(const std::string& fake, const std::string& spec, double fps = 30) {
  setenv("KESTROVA_FAKE_ONI", fake.c_str(), 1);
  auto rig = std::make_unique<Rig>();
  rig->backend = MakeSensorBackend(spec, fps, &rig->error);
  if (!rig->backend) return rig;
  for (int i = 0; i < 4; ++i) {
    if (!Succeeded(rig->backend->NuiCreateSensorByIndex(i, &rig->sensors[i]))) continue;
    rig->sensors[i]->NuiInitialize(NUI_INITIALIZE_FLAG_USES_DEPTH);
    rig->opened[i] = rig->sensors[i]->NuiImageStreamOpen(NUI_IMAGE_TYPE_DEPTH, NUI_IMAGE_RESOLUTION_320x240,
                                                          0, 2, nullptr, &rig->streams[i]);
  }
  return rig;
}

// Checks every pixel of a delivered frame against frame n of fake device
// `device`, unmirrored.
void CheckPixels(const NuiImageFrame& frame, int device, int n, int width, int height) {
  const NuiFrameTexture& texture = *frame.pFrameTexture;
  EXPECT_EQ(texture.format.width, width);
  EXPECT_EQ(texture.format.height, height);
  int wrong = 0;
  for (int v = 0; v < height; ++v)
    for (int u = 0; u < width; ++u) {
      const unsigned mm = fakeoni::DepthMm(device, n, u, v, width, height);
      const std::uint16_t expected = mm > 8191 ? 0 : static_cast<std::uint16_t>(mm << 3);
      if (texture.pixels[static_cast<std::size_t>(v) * texture.format.rowStride + u] != expected && ++wrong < 4)
        ADD_FAILURE() << "device " << device << " frame " << n << " pixel " << u << "," << v;
    }
  EXPECT_EQ(wrong, 0);
}

// Checks a delivered frame of fake device `device` and returns its frame
// number on the device (from its time stamp).
int CheckFrame(const NuiImageFrame& frame, int device, int width, int height, int fps = 30) {
  const std::int64_t stamp = frame.liTimeStamp.QuadPart;
  // Stamps are whole milliseconds of microsecond stamps: rounded to the nearest frame.
  const int n = static_cast<int>(((stamp * 1000 - 1000000LL * device) * fps + 500000) / 1000000);
  EXPECT_EQ(static_cast<std::uint64_t>(stamp), fakeoni::StampUs(device, n, fps) / 1000) << "device " << device;
  CheckPixels(frame, device, n, width, height);
  return n;
}

// The frame number of fake device `device` that a delivered frame holds,
// read from its pixel 1,0 (whose depth grows by 1 mm a frame).
int FrameOfPixels(const NuiImageFrame& frame, int device, int width, int height) {
  const int mm = frame.pFrameTexture->pixels[1] >> 3;
  return mm - fakeoni::DepthMm(device, 0, 1, 0, width, height);
}

class OpenNI2Cameras : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("KESTROVA_FAKE_ONI"); }
};

// Two devices, offered by OpenNI2 in reverse order: numbered by serial,
// their 640 x 480 frames unmirrored pixel for pixel (the second's rows
// padded), their lens from their fields of view, their own time stamps.
TEST_F(OpenNI2Cameras, EveryCameraByItsSerialWithItsFramesLensAndStamps) {
  auto rig = OpenRig("devices=2,pad=2", "openni2");
  ASSERT_TRUE(rig->backend) << rig->error;
  for (int slot = 0; slot < 2; ++slot) {
    ASSERT_EQ(rig->opened[slot], S_OK) << slot;
    EXPECT_EQ(rig->sensors[slot]->NuiUniqueId(), slot == 0 ? "FAKE0001" : "FAKE0002");
    const DepthFrameFormat format = rig->sensors[slot]->NuiDepthFrameFormat();
    EXPECT_EQ(format.width, 640);
    EXPECT_EQ(format.height, 480);
    // fields of view of 2 atan(320 / 500) and 2 atan(240 / 500) (held as floats)
    EXPECT_NEAR(format.lens.fx, 500, 1e-3);
    EXPECT_NEAR(format.lens.fy, 500, 1e-3);
    EXPECT_EQ(format.lens.cx, 320);
    EXPECT_EQ(format.lens.cy, 240);
  }
  EXPECT_FALSE(rig->sensors[2]);
  int last[2] = {-1, -1};
  for (int round = 0; round < 3; ++round)
    for (int slot = 0; slot < 2; ++slot) {
      NuiImageFrame frame;
      ASSERT_EQ(rig->sensors[slot]->NuiImageStreamGetNextFrame(rig->streams[slot], 2000, &frame), S_OK);
      const int n = CheckFrame(frame, slot + 1, 640, 480);
      EXPECT_GT(n, last[slot]);
      EXPECT_EQ(frame.dwFrameNumber, static_cast<std::uint32_t>(n + 1));  // the device's own counter
      last[slot] = n;
      rig->sensors[slot]->NuiImageStreamReleaseFrame(rig->streams[slot], &frame);
    }
}

// Devices named by serial or URI take the numbers of their places; a mode
// chosen is used, with the lens of its field of view. One case per process.
struct NamedCase {
  const char* name;
  const char* spec;
  const char* first;
  const char* second;
  int width;
  double focal;
};

class NamedOpenNI2Cameras : public OpenNI2Cameras, public ::testing::WithParamInterface<NamedCase> {};

TEST_P(NamedOpenNI2Cameras, TakeTheirPlacesAtTheChosenMode) {
  const NamedCase& c = GetParam();
  auto rig = OpenRig("devices=2", c.spec);
  ASSERT_TRUE(rig->backend) << rig->error;
  ASSERT_EQ(rig->opened[0], S_OK);
  EXPECT_EQ(rig->sensors[0]->NuiUniqueId(), c.first);
  if (*c.second) {
    EXPECT_EQ(rig->sensors[1]->NuiUniqueId(), c.second);
  } else {
    EXPECT_FALSE(rig->sensors[1]);
  }
  const DepthFrameFormat format = rig->sensors[0]->NuiDepthFrameFormat();
  EXPECT_EQ(format.width, c.width);
  EXPECT_NEAR(format.lens.fx, c.focal, 1e-3);
  NuiImageFrame frame;
  ASSERT_EQ(rig->sensors[0]->NuiImageStreamGetNextFrame(rig->streams[0], 2000, &frame), S_OK);
  CheckFrame(frame, c.first[7] - '0', c.width, c.width * 3 / 4);
  rig->sensors[0]->NuiImageStreamReleaseFrame(rig->streams[0], &frame);
}

INSTANTIATE_TEST_SUITE_P(
    BySerialUriAndMode, NamedOpenNI2Cameras,
    ::testing::Values(NamedCase{"Serials", "openni2:FAKE0002,FAKE0001", "FAKE0002", "FAKE0001", 640, 500},
                      NamedCase{"Uris", "openni2:kestrova-fake://2,kestrova-fake://1", "FAKE0002", "FAKE0001", 640, 500},
                      // 2 atan(160 / 250) across 320 pixels: fx = 160 / (160 / 250) = 250
                      NamedCase{"ChosenMode", "openni2:FAKE0001,mode=320x240@30", "FAKE0001", "", 320, 250}),
    [](const ::testing::TestParamInfo<NamedCase>& info) { return std::string(info.param.name); });

// What cannot be had is named, with OpenNI2's own reason where it gives one.
TEST_F(OpenNI2Cameras, BusyMissingAndUnsuitableDevicesAreNamed) {
  testing::TempDir dir;
  const std::string folder = dir.path() + "/folder.oni", text = dir.path() + "/text.oni";
  std::filesystem::create_directory(folder);
  std::ofstream(text) << "not a recording\n";
  const struct {
    std::string fake;
    std::string spec;
    bool cameraOne;  // camera 1 opens
    std::string told;
  } cases[] = {
      {"devices=2,busy=1", "openni2:FAKE0001", false, "fake camera 1 is in use by another program"},
      {"devices=2", "openni2:FAKE0009", false, "no OpenNI2 device has the URI or serial 'FAKE0009' (serials found: "},
      {"devices=2,tenths=1", "openni2:FAKE0001", false, "camera 1 (serial FAKE0001): its depth stream has no mode 640 x 480 at 30 frames a second in millimetres"},
      {"devices=2", "openni2:FAKE0001,mode=640x480@60", false, "has no mode 640 x 480 at 60 frames"},
      {"devices=1", "openni2:/nowhere/take.oni", false,
       "camera 1: the recording /nowhere/take.oni cannot be played: No such file or directory"},
      {"devices=1", "openni2:" + folder, false, "camera 1: the recording " + folder + " cannot be played: not a regular file"},
      {"devices=1", "openni2:" + text, false, "camera 1: the recording " + text + " cannot be played: "},
      // The one case whose camera streams comes last (see the top).
      {"devices=2,busy=2", "openni2", true, "fake camera 2 is in use by another program"},
  };
  {
    // Nothing at all opens: the backend says so.
    auto rig = OpenRig("devices=1,busy=1", "openni2");
    EXPECT_FALSE(rig->backend);
    EXPECT_EQ(rig->error, "no depth sensor found (OpenNI2 lists no camera that opens)");
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fake + " " + c.spec);
    Terminal terminal;
    auto rig = OpenRig(c.fake, c.spec);
    const std::string told = terminal.Text();
    EXPECT_NE(told.find(c.told), std::string::npos) << told;
    EXPECT_EQ(rig->opened[0] == S_OK, c.cameraOne) << told;
  }
}

// A camera OpenNI2 reports disconnected is lost at once; the other goes on.
TEST_F(OpenNI2Cameras, AnUnpluggedCameraIsLostWhileTheOtherGoesOn) {
  Terminal terminal;
  auto rig = OpenRig("devices=2,vanish=2@10", "openni2");
  ASSERT_TRUE(rig->backend) << rig->error;
  HRESULT lost = S_OK;
  for (int frames = 0; frames < 45; ++frames) {
    NuiImageFrame frame;
    ASSERT_EQ(rig->sensors[0]->NuiImageStreamGetNextFrame(rig->streams[0], 2000, &frame), S_OK) << frames;
    rig->sensors[0]->NuiImageStreamReleaseFrame(rig->streams[0], &frame);
    if (lost == E_NUI_DEVICE_NOT_CONNECTED) continue;
    lost = rig->sensors[1]->NuiImageStreamGetNextFrame(rig->streams[1], 0, &frame);
    if (Succeeded(lost)) rig->sensors[1]->NuiImageStreamReleaseFrame(rig->streams[1], &frame);
  }
  EXPECT_EQ(lost, E_NUI_DEVICE_NOT_CONNECTED);
  NuiImageFrame frame;
  EXPECT_EQ(rig->sensors[1]->NuiImageStreamGetNextFrame(rig->streams[1], 10000, &frame), E_NUI_DEVICE_NOT_CONNECTED);
  const std::string told = terminal.Text();
  EXPECT_NE(told.find("camera 2 (serial FAKE0002) lost: OpenNI2 reports the device disconnected"), std::string::npos)
      << told;
}

// The take a 640 x 480 camera makes says so in LENS.txt, byte for byte; an
// unplugged camera ends kestrova-record with status 3 while camera 1 records on.
TEST_F(OpenNI2Cameras, TakesOfOpenNI2CamerasCarryTheirLensAndLoseAnUnpluggedOne) {
  testing::TempDir take;
  const std::string params = take.path() + "/two.txt";
  testing::WriteFile(params, "TIME: x\r\n \r\nCAL: 0.0012 \r\nCAM: 1 1 0 0 \r\n");
  const testing::CommandRun run = testing::RunCommand(
      "KESTROVA_FAKE_ONI='devices=2,vanish=2@20' LD_LIBRARY_PATH='" FAKE_ONI_ROOT "' '" KESTROVA_RECORD
      "' --sensors openni2 --params '" + params + "' --frames 60 --out '" + take.path() + "' 2>&1");
  EXPECT_EQ(run.status, 3) << run.output;
  EXPECT_NE(run.output.find("camera 2 (serial FAKE0002) lost"), std::string::npos) << run.output;
  EXPECT_EQ(testing::ReadTimeStampLines(take.File("TS1.txt")).size(), 60u);
  // The lens as 2 atan(320 / 500) held as a float gives it, written exactly.
  const double fx = 320 / std::tan(static_cast<double>(fakeoni::HorizontalFov(640)) / 2);
  const double fy = 240 / std::tan(static_cast<double>(fakeoni::VerticalFov(640, 480)) / 2);
  EXPECT_NEAR(fx, 500, 1e-3);
  EXPECT_EQ(testing::ReadFile(take.File("LENS.txt")),
            std::string(kTakeLensHeader) + "camera 1 width 640 height 480 fx " + ExactNumberText(fx) + " fy " +
                ExactNumberText(fy) + " cx 320 cy 240\r\ncamera 2 width 640 height 480 fx " + ExactNumberText(fx) +
                " fy " + ExactNumberText(fy) + " cx 320 cy 240\r\n");
}

// Recordings made with OpenNI2's own Recorder from fake cameras, played
// through openni2:FILE.oni: the one recorded with its stream's cropping
// gives every frame it holds, pixel for pixel, with the Recorder's stamps
// (counted from its first frame) and frame numbers (from 1), in the mode
// and lens it recorded, and ends by itself after its last. OpenNI2 plays no
// frame of one recorded from a driver that does not report cropping: that
// camera is missing, with the reason.
TEST_F(OpenNI2Cameras, RecordingsOfOpenNI2sRecorderPlayFrameForFrameAndEnd) {
  testing::TempDir dir;
  const std::string files[2] = {dir.path() + "/fake.oni", dir.path() + "/uncropped.oni"};
  constexpr int kFrames = 12;
  // One camera after the other: two Recorders at work at once in OpenNI2
  // 2.2 spoil some of each other's frames.
  for (int camera = 1; camera <= 2; ++camera) {
    const testing::CommandRun run = testing::RunCommand(
        "KESTROVA_FAKE_ONI='devices=2,size=320x240,nocrop=2,frames=" + std::to_string(kFrames) +
        "' LD_LIBRARY_PATH='" FAKE_ONI_ROOT "' '" RECORD_FAKE_ONI "' kestrova-fake://" + std::to_string(camera) +
        " '" + files[camera - 1] + "' " + std::to_string(kFrames) + " 2>&1");
    ASSERT_EQ(run.status, 0) << run.output;
  }
  const std::string spec = "openni2:" + files[0] + "," + files[1];
  EXPECT_TRUE(SensorsEndByThemselves(spec));
  EXPECT_FALSE(SensorsEndByThemselves("openni2:" + files[0] + ",FAKE0001"));
  Terminal terminal;
  auto rig = OpenRig("devices=1", spec, 0);
  const std::string told = terminal.Text();
  ASSERT_TRUE(rig->backend) << rig->error;
  EXPECT_NE(rig->opened[1], S_OK);
  EXPECT_NE(told.find("camera 2 (" + files[1] + "): the recording lacks its depth stream's cropping, without which "
                      "OpenNI2 plays none of its frames"),
            std::string::npos)
      << told;
  ASSERT_EQ(rig->opened[0], S_OK) << told;
  INuiSensor& sensor = *rig->sensors[0];
  EXPECT_EQ(sensor.NuiUniqueId(), files[0]);  // a recording without a serial is named by its file
  EXPECT_TRUE(sensor.NuiKeepsEveryFrame());
  const DepthFrameFormat format = sensor.NuiDepthFrameFormat();
  EXPECT_EQ(format.width, 320);
  EXPECT_EQ(format.height, 240);
  EXPECT_NEAR(format.lens.fx, 250, 1e-3);  // the recorded field of view across 320 pixels
  std::vector<int> played;
  const auto start = std::chrono::steady_clock::now();
  while (!sensor.NuiStreamEnded() && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    NuiImageFrame frame;
    if (!Succeeded(sensor.NuiImageStreamGetNextFrame(rig->streams[0], 500, &frame))) continue;
    const int n = FrameOfPixels(frame, 1, 320, 240);
    CheckPixels(frame, 1, n, 320, 240);
    const std::uint64_t sinceFirst = fakeoni::StampUs(1, n, 30) - fakeoni::StampUs(1, 0, 30);
    EXPECT_EQ(frame.liTimeStamp.QuadPart, static_cast<std::int64_t>(sinceFirst / 1000));
    EXPECT_EQ(frame.dwFrameNumber, static_cast<std::uint32_t>(n + 1));
    played.push_back(n);
    sensor.NuiImageStreamReleaseFrame(rig->streams[0], &frame);
  }
  EXPECT_TRUE(sensor.NuiStreamEnded());
  std::vector<int> recorded(kFrames);
  std::iota(recorded.begin(), recorded.end(), 0);
  EXPECT_EQ(played, recorded);
}

}  // namespace
}  // namespace kestrova
