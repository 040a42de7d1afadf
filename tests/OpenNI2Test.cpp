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
#include <OniCAPI.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

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

// Checks every pixel of a delivered frame of fake device `device` against
// what the device sent, unmirrored, and returns its frame number on the
// device (from its time stamp).
int CheckFrame(const NuiImageFrame& frame, int device, int width, int height, int fps = 30) {
  const std::int64_t stamp = frame.liTimeStamp.QuadPart;
  // Stamps are whole milliseconds of microsecond stamps: rounded to the nearest frame.
  const int n = static_cast<int>(((stamp * 1000 - 1000000LL * device) * fps + 500000) / 1000000);
  EXPECT_EQ(static_cast<std::uint64_t>(stamp), fakeoni::StampUs(device, n, fps) / 1000) << "device " << device;
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
  return n;
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
  const struct {
    const char* fake;
    const char* spec;
    bool cameraOne;  // camera 1 opens
    const char* told;
  } cases[] = {
      {"devices=2,busy=1", "openni2:FAKE0001", false, "fake camera 1 is in use by another program"},
      {"devices=2", "openni2:FAKE0009", false, "no OpenNI2 device has the URI or serial 'FAKE0009' (serials found: "},
      {"devices=2,tenths=1", "openni2:FAKE0001", false, "camera 1 (serial FAKE0001): its depth stream has no mode 640 x 480 at 30 frames a second in millimetres"},
      {"devices=2", "openni2:FAKE0001,mode=640x480@60", false, "has no mode 640 x 480 at 60 frames"},
      {"devices=1", "openni2:/nowhere/take.oni", false, "camera 1: the recording /nowhere/take.oni cannot be played: "},
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
    SCOPED_TRACE(std::string(c.fake) + " " + c.spec);
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

// A recording made with OpenNI2's own Recorder from a fake camera opens
// through openni2:FILE.oni with the mode and lens it recorded, keeps every
// frame, and ends by itself: a recording that gives no more frames ends the
// take instead of holding it. (Debian's OpenNI2 2.2 plays no frame of such a
// recording, neither here nor through its own tools' calls; the frames'
// way through the backend is the cameras' own, tested above.)
TEST_F(OpenNI2Cameras, ARecordingOfOpenNI2sRecorderOpensWithItsModeAndLensAndEnds) {
  testing::TempDir dir;
  const std::string file = dir.path() + "/fake.oni";
  setenv("KESTROVA_FAKE_ONI", "devices=1,size=320x240", 1);
  {
    ASSERT_EQ(oniInitialize(ONI_API_VERSION), ONI_STATUS_OK) << oniGetExtendedError();
    OniDeviceHandle device = nullptr;
    OniStreamHandle stream = nullptr;
    OniRecorderHandle recorder = nullptr;
    ASSERT_EQ(oniDeviceOpen("kestrova-fake://1", &device), ONI_STATUS_OK) << oniGetExtendedError();
    ASSERT_EQ(oniDeviceCreateStream(device, ONI_SENSOR_DEPTH, &stream), ONI_STATUS_OK);
    ASSERT_EQ(oniCreateRecorder(file.c_str(), &recorder), ONI_STATUS_OK) << oniGetExtendedError();
    ASSERT_EQ(oniRecorderAttachStream(recorder, stream, FALSE), ONI_STATUS_OK) << oniGetExtendedError();
    ASSERT_EQ(oniStreamStart(stream), ONI_STATUS_OK);
    ASSERT_EQ(oniRecorderStart(recorder), ONI_STATUS_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    oniRecorderStop(recorder);
    oniRecorderDestroy(&recorder);
    oniStreamStop(stream);
    oniStreamDestroy(stream);
    oniDeviceClose(device);
    oniShutdown();
  }
  EXPECT_TRUE(SensorsEndByThemselves("openni2:" + file));
  EXPECT_FALSE(SensorsEndByThemselves("openni2:" + file + ",FAKE0001"));
  auto rig = OpenRig("devices=1,size=320x240", "openni2:" + file, 0);
  ASSERT_TRUE(rig->backend) << rig->error;
  ASSERT_EQ(rig->opened[0], S_OK);
  EXPECT_EQ(rig->sensors[0]->NuiUniqueId(), file);  // a recording without a serial is named by its file
  EXPECT_TRUE(rig->sensors[0]->NuiKeepsEveryFrame());
  const DepthFrameFormat format = rig->sensors[0]->NuiDepthFrameFormat();
  EXPECT_EQ(format.width, 320);
  EXPECT_EQ(format.height, 240);
  EXPECT_NEAR(format.lens.fx, 250, 1e-3);  // the recorded field of view across 320 pixels
  const auto start = std::chrono::steady_clock::now();
  while (!rig->sensors[0]->NuiStreamEnded() && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    NuiImageFrame frame;
    if (Succeeded(rig->sensors[0]->NuiImageStreamGetNextFrame(rig->streams[0], 500, &frame))) {
      CheckFrame(frame, 1, 320, 240);
      rig->sensors[0]->NuiImageStreamReleaseFrame(rig->streams[0], &frame);
    }
  }
  EXPECT_TRUE(rig->sensors[0]->NuiStreamEnded());
}

}  // namespace
}  // namespace kestrova
