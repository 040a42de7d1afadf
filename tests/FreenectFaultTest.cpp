// The libfreenect backend against a stand-in libfreenect that fails as
// cameras on a real USB bus do (tests/support/FreenectStandIn.cpp, loaded in
// place of the real library): a camera unplugged while the others stream,
// one starved of bandwidth, busy and forbidden devices, serials libfreenect
// cannot read, a device clock that steps back. The stand-in's camera at bus
// position K delivers depth 1000 * K mm, so each frame names its device.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "capture/FreenectFrames.h"
#include "capture/FreenectSensor.h"
#include "capture/NuiSensor.h"
#include "tests/support/Terminal.h"

namespace kestrova {
namespace {

int StandInCount(const char* name, int position) {
  auto count = reinterpret_cast<int (*)(int)>(dlsym(RTLD_DEFAULT, name));
  return count ? count(position) : -1;
}

// The sensors of a bus, opened as the engine opens them.
struct Bus {
  std::unique_ptr<SensorBackend> backend;
  std::unique_ptr<INuiSensor> sensors[4];
  NuiStreamHandle streams[4] = {kNoStream, kNoStream, kNoStream, kNoStream};
  HRESULT created[4] = {E_FAIL, E_FAIL, E_FAIL, E_FAIL};
  HRESULT opened[4] = {E_FAIL, E_FAIL, E_FAIL, E_FAIL};

  ~Bus() {
    for (auto& sensor : sensors)
      if (sensor) sensor->NuiShutdown();
  }

  // The next frame of camera `slot` within two seconds: the stand-in's bus
  // position it came from (0 when none came), and its time stamp.
  int Fetch(int slot, std::int64_t* stamp = nullptr, HRESULT* result = nullptr) {
    NuiImageFrame frame;
    const HRESULT fetched = sensors[slot]->NuiImageStreamGetNextFrame(streams[slot], 2000, &frame);
    if (result) *result = fetched;
    if (!Succeeded(fetched)) return 0;
    const int position = (frame.pFrameTexture->pixels[0] >> 3) / 1000;
    if (stamp) *stamp = frame.liTimeStamp.QuadPart;
    sensors[slot]->NuiImageStreamReleaseFrame(streams[slot], &frame);
    return position;
  }
};

std::unique_ptr<Bus> OpenBus(const std::string& cameras, bool wholeFrames = false) {
  setenv("FREENECT_STANDIN", cameras.c_str(), 1);
  auto bus = std::make_unique<Bus>();
  std::string error;
  bus->backend = MakeFreenectBackend(wholeFrames, &error);
  EXPECT_TRUE(bus->backend) << error;
  if (!bus->backend) return bus;
  for (int i = 0; i < 4; ++i) {
    bus->created[i] = bus->backend->NuiCreateSensorByIndex(i, &bus->sensors[i]);
    if (!bus->sensors[i]) continue;
    bus->sensors[i]->NuiInitialize(NUI_INITIALIZE_FLAG_USES_DEPTH);
    bus->opened[i] = bus->sensors[i]->NuiImageStreamOpen(
        NUI_IMAGE_TYPE_DEPTH, NUI_IMAGE_RESOLUTION_320x240, NUI_IMAGE_STREAM_FLAG_ENABLE_NEAR_MODE, 2,
        nullptr, &bus->streams[i]);
  }
  return bus;
}

using testing::Terminal;

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class FreenectFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(dlsym(RTLD_DEFAULT, "freenect_standin_delivered"), nullptr)
        << "the real libfreenect was loaded in place of the stand-in";
  }
  void TearDown() override { unsetenv("FREENECT_STANDIN"); }
};

TEST_F(FreenectFaults, AnUnpluggedCameraIsLostWhileTheOthersKeepTheirFrameRate) {
  Terminal capture;
  auto bus = OpenBus("devices=3 dead=2@30");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(bus->opened[i], S_OK) << i;

  // Camera 2 goes after 30 frames; cameras 1 and 3 go on for 150 frames
  // each, about five seconds.
  HRESULT lost = S_OK;
  int frames[3] = {0, 0, 0};
  while (frames[0] < 150 || frames[2] < 150) {
    for (int slot : {0, 2}) {
      HRESULT result;
      ASSERT_EQ(bus->Fetch(slot, nullptr, &result), slot + 1)
          << "camera " << slot + 1 << " stopped after " << frames[slot] << " frames: " << result;
      ++frames[slot];
    }
    if (lost == E_NUI_DEVICE_NOT_CONNECTED) continue;
    NuiImageFrame frame;
    lost = bus->sensors[1]->NuiImageStreamGetNextFrame(bus->streams[1], 0, &frame);
    if (Succeeded(lost)) bus->sensors[1]->NuiImageStreamReleaseFrame(bus->streams[1], &frame);
  }
  EXPECT_EQ(lost, E_NUI_DEVICE_NOT_CONNECTED);
  // From then on at once, whatever the wait.
  NuiImageFrame frame;
  EXPECT_EQ(bus->sensors[1]->NuiImageStreamGetNextFrame(bus->streams[1], 10000, &frame),
            E_NUI_DEVICE_NOT_CONNECTED);
  const std::string terminal = capture.Text();

  // The survivors' transfers were served as they came: the stand-in lost
  // (almost) none of their frames for want of event processing.
  for (int position : {1, 3}) {
    const int delivered = StandInCount("freenect_standin_delivered", position);
    const int missed = StandInCount("freenect_standin_missed", position);
    EXPECT_GE(delivered, 150) << position;
    EXPECT_LE(missed * 10, delivered) << "camera " << position << " missed " << missed;
  }
  EXPECT_EQ(StandInCount("freenect_standin_delivered", 2), 30);
  EXPECT_NE(terminal.find("camera 2 (serial SERIAL-2) lost: libfreenect marked its USB device dead"),
            std::string::npos)
      << terminal;
  EXPECT_EQ(Occurrences(terminal, "lost:"), 1) << terminal;
  // libfreenect says "marked dead" on every event call from then on: once
  // on the terminal.
  EXPECT_EQ(Occurrences(terminal, "libfreenect: USB camera marked dead, stopping streams"), 1)
      << terminal;
  EXPECT_EQ(Occurrences(terminal, "libfreenect: USB device disappeared"), 1) << terminal;
}

TEST_F(FreenectFaults, AStreamThatDeliversNothingIsReportedAndTheCameraMissing) {
  Terminal capture;
  auto bus = OpenBus("devices=2 silent=2");
  EXPECT_EQ(bus->opened[0], S_OK);
  EXPECT_EQ(bus->created[1], S_OK);
  EXPECT_EQ(bus->opened[1], E_NUI_DEVICE_NOT_CONNECTED);
  for (int i = 0; i < 10; ++i)
    ASSERT_EQ(bus->Fetch(0), 1) << "camera 1 stopped after " << i << " frames";
  const std::string terminal = capture.Text();
  EXPECT_NE(terminal.find("camera 2 (serial SERIAL-2) is not streaming: no depth frame within 2 s of "
                          "starting (likely cause: USB bandwidth, e.g. two cameras on one USB "
                          "controller); treated as missing"),
            std::string::npos)
      << terminal;
  // One warning per transfer from libfreenect; one of its kind on the terminal.
  EXPECT_EQ(Occurrences(terminal, "libfreenect: Failed to submit isochronous transfer"), 1) << terminal;
  EXPECT_EQ(Occurrences(terminal, "is not streaming"), 1) << terminal;
}

// The terminal at start of a bus of two cameras of which camera `failing`
// (1 or 2) cannot be opened; the other must stream.
std::string StartWithOneUnopenable(const std::string& cameras, int failing) {
  Terminal capture;
  auto bus = OpenBus(cameras);
  const int working = 2 - failing;  // the other camera's slot
  EXPECT_EQ(bus->created[failing - 1], E_NUI_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(bus->opened[working], S_OK);
  EXPECT_EQ(bus->Fetch(working), working + 1);
  bus.reset();
  return capture.Text();
}

TEST_F(FreenectFaults, ABusyOrForbiddenCameraIsNamedWithTheReason) {
  std::string terminal = StartWithOneUnopenable("devices=2 busy=1", 1);
  EXPECT_NE(terminal.find("camera 1 (serial SERIAL-1) could not be opened: busy (another program, or "
                          "the kernel's gspca_kinect driver, holds it)"),
            std::string::npos)
      << terminal;
  // libfreenect cannot read a forbidden camera's serial either.
  terminal = StartWithOneUnopenable("devices=2 denied=2", 2);
  EXPECT_NE(terminal.find("camera 2 (serial unknown) could not be opened: permission denied (this user "
                          "may not open the USB device: see the udev rules in the README)"),
            std::string::npos)
      << terminal;
}

// Opens the bus and checks that camera n streams bus position n's frames
// and shows serial `serials[n - 1]`; the terminal at start.
std::string CheckSerials(const std::string& cameras, const std::vector<std::string>& serials) {
  Terminal capture;
  auto bus = OpenBus(cameras);
  for (size_t i = 0; i < serials.size(); ++i) {
    EXPECT_EQ(bus->opened[i], S_OK) << "camera " << i + 1;
    if (!Succeeded(bus->opened[i])) continue;
    EXPECT_EQ(bus->Fetch(i), static_cast<int>(i + 1)) << "camera " << i + 1;
    EXPECT_EQ(bus->sensors[i]->NuiUniqueId(), serials[i]) << "camera " << i + 1;
  }
  bus.reset();
  return capture.Text();
}

TEST_F(FreenectFaults, ASerialIsShownOnlyWithTheCameraItBelongsTo) {
  CheckSerials("devices=3", {"SERIAL-1", "SERIAL-2", "SERIAL-3"});
  // The serial list skips camera 1: every later serial would name the
  // device before it.
  std::string terminal = CheckSerials("devices=3 noserial=1", {"", "", ""});
  EXPECT_NE(terminal.find("libfreenect read the serial numbers of 2 of the 3 depth cameras"),
            std::string::npos)
      << terminal;
  // Two cameras with one serial: opened by serial, both would be the first.
  terminal = CheckSerials("devices=2 zeroserial=1 zeroserial=2", {"", ""});
  EXPECT_NE(terminal.find("two depth cameras gave libfreenect the same serial number"),
            std::string::npos)
      << terminal;
}

TEST_F(FreenectFaults, ADeviceClockSteppingBackNeitherGoesBackNorLeaps) {
  Terminal quiet;
  auto bus = OpenBus("devices=1 stepback=1@10");
  ASSERT_EQ(bus->opened[0], S_OK);
  std::int64_t previous = -1;
  for (int i = 0; i < 25; ++i) {
    std::int64_t stamp = 0;
    ASSERT_EQ(bus->Fetch(0, &stamp), 1);
    if (previous >= 0) {
      EXPECT_GE(stamp, previous) << "frame " << i;
      EXPECT_LT(stamp - previous, 500) << "frame " << i;
    }
    previous = stamp;
  }
}

// The terminal at start of a bus of one camera, and a pixel of its first frame.
std::string StartOneCamera(const std::string& cameras, std::uint16_t* pixel) {
  Terminal capture;
  auto bus = OpenBus(cameras);
  NuiImageFrame frame;
  EXPECT_EQ(bus->opened[0], S_OK);
  if (Succeeded(bus->opened[0]) &&
      Succeeded(bus->sensors[0]->NuiImageStreamGetNextFrame(bus->streams[0], 2000, &frame))) {
    *pixel = frame.pFrameTexture->pixels[kDefaultDepthPixels - 1];
    bus->sensors[0]->NuiImageStreamReleaseFrame(bus->streams[0], &frame);
  }
  bus.reset();
  return capture.Text();
}

TEST_F(FreenectFaults, MillimetreAndRawDisparityFramesAndTheStartLines) {
  std::uint16_t pixel = 0;
  std::string terminal = StartOneCamera("devices=1", &pixel);
  EXPECT_EQ(pixel, 1000 << 3);
  // 4 * 0.1042 / 120 = 0.0034733
  EXPECT_NE(terminal.find("camera 1 (serial SERIAL-1): depth in millimetres; reference distance 120.0 "
                          "mm, pixel size 0.1042 mm: inverse focal length 0.003473 at 320 x 240 (the "
                          "pipeline uses 0.003501)"),
            std::string::npos)
      << terminal;
  pixel = 0;
  terminal = StartOneCamera("devices=1 raw", &pixel);
  // Raw 600: 1000 / (3.3309495161 - 0.0030711016 * 600) = 671.9 mm.
  EXPECT_EQ(pixel, 672 << 3);
  EXPECT_NE(terminal.find("camera 1 (serial SERIAL-1): raw disparity converted to millimetres"),
            std::string::npos)
      << terminal;
}

}  // namespace
}  // namespace kestrova
