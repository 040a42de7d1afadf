// The depth-frame network in one process: samples byte for byte, the
// --sensors net text, discovery of stations, a malformed sample, a missing
// station, a name claimed twice, a station that goes away. DDS runs on the
// loopback only, on a domain of this test run's own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "capture/SensorChoice.h"
#include "capture/net/FrameSample.h"
#include "capture/net/NetBackend.h"
#include "capture/net/NetSensor.h"
#include "capture/net/Station.h"
#include "capture/Event.h"
#include "tests/support/NetTesting.h"

namespace kestrova::net {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const auto* const loopback =
    ::testing::AddGlobalTestEnvironment(new kestrova::testing::LoopbackDdsEnvironment);

std::vector<std::uint16_t> Ramp(std::uint16_t start, int count = kDefaultDepthPixels) {
  std::vector<std::uint16_t> pixels(count);
  for (int i = 0; i < count; ++i) pixels[i] = static_cast<std::uint16_t>(start + 8 * (i % 977));
  return pixels;
}

constexpr std::uint64_t kFakeRun = 0x0123456789ABCDEFull;

// A good sample of camera 1 of station "fake", its pixels kept by `encoder`.
kestrova_net_DepthFrameSample GoodSample(FrameSampleEncoder& encoder,
                                         const std::vector<std::uint16_t>& pixels,
                                         std::uint32_t frameNumber, std::int64_t stamp,
                                         const DepthFrameFormat& format = DepthFrameFormat()) {
  NuiImageFrame frame;
  frame.dwFrameNumber = frameNumber;
  frame.liTimeStamp.QuadPart = stamp;
  kestrova_net_DepthFrameSample sample{};
  std::string error;
  EXPECT_TRUE(encoder.Fill("fake", kFakeRun, 1, "SER1", frame, DepthFrameView{pixels.data(), format}, &sample,
                           &error))
      << error;
  return sample;
}

// --- samples

// Each frame travels with its size and lens: the default 320 x 240, a
// 640 x 480 frame of its own lens, and a small frame whose rows the sensor
// padded (the padding stays behind).
TEST(FrameSample, CarriesTheFrameItsSizeAndItsLensExactly) {
  DepthFrameFormat padded = PackedFormat(5, 3, {4.5, 4.25, 2.5, 1});
  padded.rowStride = 8;
  const struct {
    DepthFrameFormat format;
    std::uint16_t width, height;
    double fx, fy, cx, cy;
  } cases[] = {
      {DepthFrameFormat(), 320, 240, 1 / double(0.003501f), 1 / double(0.003501f), 160, 120},
      {PackedFormat(640, 480, {575.8157348632812, 575.8157348632812, 319.5, 239.5}), 640, 480,
       575.8157348632812, 575.8157348632812, 319.5, 239.5},
      {padded, 5, 3, 4.5, 4.25, 2.5, 1},
  };
  for (const auto& c : cases) {
    FrameSampleEncoder encoder;
    const auto pixels = Ramp(0xFFF0, static_cast<int>(c.format.BufferPixels()));  // wraps past 2^16
    kestrova_net_DepthFrameSample sample = GoodSample(encoder, pixels, 4000000000u, 0x123456789ALL, c.format);
    EXPECT_STREQ(sample.station, "fake");
    EXPECT_STREQ(sample.serial, "SER1");
    EXPECT_EQ(sample.run, kFakeRun);
    EXPECT_EQ(sample.camera, 1);
    EXPECT_EQ(sample.frame_number, 4000000000u);
    EXPECT_EQ(sample.time_stamp, 0x123456789ALL);
    EXPECT_EQ(sample.width, c.width);
    EXPECT_EQ(sample.height, c.height);
    EXPECT_EQ(sample.fx, c.fx);
    EXPECT_EQ(sample.fy, c.fy);
    EXPECT_EQ(sample.cx, c.cx);
    EXPECT_EQ(sample.cy, c.cy);
    EXPECT_EQ(sample.codec, 1);
    // A zstd frame: its magic number first.
    ASSERT_GE(sample.pixels._length, 4u);
    EXPECT_EQ(std::memcmp(sample.pixels._buffer, "\x28\xB5\x2F\xFD", 4), 0);

    DepthPixelDecoder decoder;
    std::vector<std::uint16_t> decoded(c.width * c.height, 1);
    ASSERT_EQ(DecodeFrameSample(sample, SampleFormat(sample), decoder, decoded.data()), SampleFault::None);
    for (int row = 0; row < c.height; ++row)
      for (int column = 0; column < c.width; ++column)
        ASSERT_EQ(decoded[row * c.width + column], pixels[row * c.format.rowStride + column]) << row << " " << column;
  }
  // Far fewer bytes than the raw 153 600 of a 320 x 240 frame.
  FrameSampleEncoder encoder;
  EXPECT_LT(GoodSample(encoder, Ramp(0xFFF0), 1, 2).pixels._length, 153600u / 4);
}

TEST(FrameSample, EveryMalformedSampleIsRefusedWithItsFault) {
  FrameSampleEncoder encoder;
  const auto pixels = Ramp(100);
  DepthPixelDecoder decoder;
  std::vector<std::uint8_t> garbage(1000, 0x5A);
  std::vector<std::uint8_t> copy;
  std::vector<std::uint8_t> big(154201, 0);
  struct Case {
    const char* what;
    std::function<void(kestrova_net_DepthFrameSample&)> spoil;
    SampleFault fault;
  };
  const std::vector<Case> cases = {
      {"camera 0", [](auto& s) { s.camera = 0; }, SampleFault::BadCamera},
      {"camera 5", [](auto& s) { s.camera = 5; }, SampleFault::BadCamera},
      {"641 wide", [](auto& s) { s.width = 641; }, SampleFault::BadSize},
      {"481 high", [](auto& s) { s.height = 481; }, SampleFault::BadSize},
      {"0 high", [](auto& s) { s.height = 0; }, SampleFault::BadSize},
      {"no focal length", [](auto& s) { s.fx = 0; }, SampleFault::BadLens},
      {"an axis not a number", [](auto& s) { s.cy = std::nan(""); }, SampleFault::BadLens},
      {"640 x 480 where 320 x 240 was announced", [](auto& s) { s.width = 640, s.height = 480; },
       SampleFault::OtherFrames},
      {"another lens than announced", [](auto& s) { s.fy += 1e-9; }, SampleFault::OtherFrames},
      {"codec 2", [](auto& s) { s.codec = 2; }, SampleFault::BadCodec},
      {"station without end", [](auto& s) { std::memset(s.station, 'x', sizeof s.station); },
       SampleFault::BadName},
      {"154 201 bytes, one more than zstd's worst case for a frame",
       [&](auto& s) { s.pixels._buffer = big.data(); s.pixels._length = 154201; },
       SampleFault::TooLarge},
      {"not zstd", [&](auto& s) { s.pixels._buffer = garbage.data(); s.pixels._length = 1000; },
       SampleFault::WrongPixels},
      {"no bytes", [](auto& s) { s.pixels._length = 0; }, SampleFault::WrongPixels},
      {"cut short", [](auto& s) { s.pixels._length -= 10; }, SampleFault::Damaged},
      {"one bit flipped", [&](auto& s) {
         copy.assign(s.pixels._buffer, s.pixels._buffer + s.pixels._length);
         copy[copy.size() / 2] ^= 0x10;
         s.pixels._buffer = copy.data();
       }, SampleFault::Damaged},
  };
  for (const Case& c : cases) {
    kestrova_net_DepthFrameSample sample = GoodSample(encoder, pixels, 1, 2);
    c.spoil(sample);
    std::vector<std::uint16_t> decoded(kDefaultDepthPixels);
    EXPECT_EQ(DecodeFrameSample(sample, DepthFrameFormat(), decoder, decoded.data()), c.fault) << c.what;
  }
}

// --- the --sensors text

TEST(NetSpec, ListsSlotsDomainAndEmptySlots) {
  NetSpec spec;
  std::string error;
  ASSERT_TRUE(ParseNetSpec("", &spec, &error));
  EXPECT_TRUE(spec.automatic);
  EXPECT_EQ(spec.domain, 0);

  // After "net", ':' and ',' alike: "net:domain=7" and "net,domain=7".
  for (const char* text : {":domain=7", ",domain=7"}) {
    ASSERT_TRUE(ParseNetSpec(text, &spec, &error)) << error;
    EXPECT_TRUE(spec.automatic) << text;
    EXPECT_EQ(spec.domain, 7) << text;
    EXPECT_EQ(spec.securityDir, "") << text;
  }

  ASSERT_TRUE(ParseNetSpec(",a/1,security=/etc/rig/this machine", &spec, &error)) << error;
  EXPECT_EQ(spec.securityDir, "/etc/rig/this machine");
  EXPECT_EQ(spec.slots.size(), 1u);

  ASSERT_TRUE(ParseNetSpec(":left/2,-,right.lab/1,domain=230", &spec, &error)) << error;
  EXPECT_FALSE(spec.automatic);
  EXPECT_EQ(spec.domain, 230);
  ASSERT_EQ(spec.slots.size(), 3u);
  EXPECT_EQ(spec.slots[0], std::make_pair(std::string("left"), 2));
  EXPECT_FALSE(spec.slots[1].has_value());
  EXPECT_EQ(spec.slots[2], std::make_pair(std::string("right.lab"), 1));
}

TEST(NetSpec, RefusesWhatIsNotACameraList) {
  for (const char* text : {":left", ":left/0", ":left/5", ":/1", ":a b/1", ":domain=231",
                           ":domain=x", ":a/1,a/2,a/3,a/4,b/1", "x", ":a/1x", ":security=",
                           ";a/1"}) {
    NetSpec spec;
    std::string error;
    EXPECT_FALSE(ParseNetSpec(text, &spec, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  std::string error;
  EXPECT_EQ(MakeSensorBackend("netx", 30, &error), nullptr);
  EXPECT_FALSE(KnownSensorSpec("netx"));
  EXPECT_TRUE(KnownSensorSpec("net"));
  EXPECT_TRUE(KnownSensorSpec("net:a/1"));
}

// --- on the network (the loopback)

std::unique_ptr<Station> StartStation(const std::string& name, const std::string& sensors) {
  std::string error;
  auto backend = MakeSensorBackend(sensors, 30, &error);
  EXPECT_NE(backend, nullptr) << error;
  auto station = std::make_unique<Station>(name);
  EXPECT_TRUE(station->Start(std::move(backend), testing::TestDomain(), "", &error)) << error;
  return station;
}

std::string NetSpecText(const std::string& items) {
  return "net:" + items + (items.empty() ? "" : ",") + "domain=" +
         std::to_string(testing::TestDomain());
}

struct OpenedSensor {
  std::unique_ptr<INuiSensor> sensor;
  NuiStreamHandle stream = kNoStream;
  ManualResetEvent frameEnd;
};

void Open(SensorBackend& backend, int index, OpenedSensor* opened) {
  ASSERT_EQ(backend.NuiCreateSensorByIndex(index, &opened->sensor), S_OK) << "slot " << index + 1;
  ASSERT_EQ(opened->sensor->NuiInitialize(NUI_INITIALIZE_FLAG_USES_DEPTH), S_OK);
  ASSERT_EQ(opened->sensor->NuiImageStreamOpen(NUI_IMAGE_TYPE_DEPTH, NUI_IMAGE_RESOLUTION_320x240,
                                               0, 2, nullptr, &opened->stream),
            S_OK);
  opened->sensor->NuiSetFrameEndEvent(&opened->frameEnd, 0);
}

TEST(NetDiscovery, ListedCamerasAreSensorsWithTheStationsSerials) {
  auto station = StartStation("disc-a", "sim:2");
  std::string error;
  auto backend = MakeSensorBackend(NetSpecText("disc-a/2,-,disc-a/1"), 0, &error);
  ASSERT_NE(backend, nullptr) << error;
  EXPECT_EQ(backend->Name(), "net");
  OpenedSensor first, third;
  Open(*backend, 0, &first);
  Open(*backend, 2, &third);
  std::unique_ptr<INuiSensor> none;
  EXPECT_EQ(backend->NuiCreateSensorByIndex(1, &none), E_NUI_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(backend->NuiCreateSensorByIndex(3, &none), E_NUI_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(first.sensor->NuiUniqueId(), "disc-a/SIM0002");
  EXPECT_EQ(third.sensor->NuiUniqueId(), "disc-a/SIM0001");

  // Frames arrive, each signalling the frame-end event; numbers and stamps rise.
  ASSERT_TRUE(first.frameEnd.Wait(5s));
  NuiImageFrame a{}, b{};
  ASSERT_EQ(first.sensor->NuiImageStreamGetNextFrame(first.stream, 5000, &a), S_OK);
  const std::uint32_t numberA = a.dwFrameNumber;
  const std::int64_t stampA = a.liTimeStamp.QuadPart;
  first.sensor->NuiImageStreamReleaseFrame(first.stream, &a);
  ASSERT_EQ(first.sensor->NuiImageStreamGetNextFrame(first.stream, 5000, &b), S_OK);
  EXPECT_GT(b.dwFrameNumber, numberA);
  EXPECT_GT(b.liTimeStamp.QuadPart, stampA);
  first.sensor->NuiImageStreamReleaseFrame(first.stream, &b);
}

TEST(NetDiscovery, NetAloneTakesCamerasByStationNameAndNumber) {
  auto later = StartStation("order-b", "sim:2");
  auto earlier = StartStation("order-a", "sim:3");
  std::string error;
  auto backend = MakeSensorBackend(NetSpecText(""), 0, &error);
  ASSERT_NE(backend, nullptr) << error;
  const char* expected[] = {"order-a/SIM0001", "order-a/SIM0002", "order-a/SIM0003",
                            "order-b/SIM0001"};
  for (int slot = 0; slot < 4; ++slot) {
    std::unique_ptr<INuiSensor> sensor;
    ASSERT_EQ(backend->NuiCreateSensorByIndex(slot, &sensor), S_OK);
    EXPECT_EQ(sensor->NuiUniqueId(), expected[slot]);
  }
}

TEST(NetDiscovery, AMissingStationIsNamedWithinSeconds) {
  auto present = StartStation("here", "sim:1");
  std::string error;
  const auto start = Clock::now();
  EXPECT_EQ(MakeSensorBackend(NetSpecText("here/1,nowhere/1"), 0, &error), nullptr);
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_NE(error.find("station 'nowhere' not found"), std::string::npos) << error;

  EXPECT_EQ(MakeSensorBackend(NetSpecText("here/3"), 0, &error), nullptr);
  EXPECT_NE(error.find("station 'here' has no camera 3 (its cameras: 1)"), std::string::npos)
      << error;
}

// An announcement of station `name` from a participant of its own, as a
// station of another build or a hostile program would make it.
class Announcer {
 public:
  Announcer(const std::string& name, std::uint64_t run, int frameType) {
    std::string error;
    EXPECT_TRUE(domain_.Open(testing::TestDomain(), "", &error)) << error;
    writer_ = domain_.CreateAnnouncementWriter();
    EXPECT_GT(writer_, 0);
    kestrova_net_CameraInfo camera{};
    camera.camera = 1;
    std::strcpy(camera.serial, "SER1");
    // The default frame and its lens.
    camera.width = 320, camera.height = 240;
    camera.fx = camera.fy = 1 / double(0.003501f);
    camera.cx = 160, camera.cy = 120;
    kestrova_net_StationAnnouncement announcement{};
    SetSampleText(name, announcement.station);
    std::strcpy(announcement.host, "elsewhere");
    std::strcpy(announcement.version, "9.9");
    announcement.run = run;
    announcement.frame_type = static_cast<std::uint16_t>(frameType);
    announcement.cameras._buffer = &camera;
    announcement.cameras._length = announcement.cameras._maximum = 1;
    EXPECT_EQ(dds_write(writer_, &announcement), 0);
  }
  NetDomain& Domain() { return domain_; }

 private:
  NetDomain domain_;
  dds_entity_t writer_ = 0;
};

TEST(NetDiscovery, ANameClaimedTwiceIsRefused) {
  auto first = StartStation("twin", "sim:1");
  // A second station of that name refuses to start, naming both runs.
  std::string error;
  Station second("twin");
  EXPECT_FALSE(second.Start(MakeSensorBackend("sim:1", 30, &error), testing::TestDomain(), "", &error));
  EXPECT_NE(error.find("a station named 'twin' is already running"), std::string::npos) << error;
  char runs[2][24];
  std::snprintf(runs[0], sizeof runs[0], "run %016llx", static_cast<unsigned long long>(first->Run()));
  std::snprintf(runs[1], sizeof runs[1], "run %016llx", static_cast<unsigned long long>(second.Run()));
  EXPECT_NE(error.find(runs[0]), std::string::npos) << error;
  EXPECT_NE(error.find(runs[1]), std::string::npos) << error;

  // One that announces itself regardless makes a recorder refuse the name.
  Announcer impostor("twin", 42, FrameTypeVersion());
  EXPECT_EQ(MakeSensorBackend(NetSpecText("twin/1"), 0, &error), nullptr);
  EXPECT_NE(error.find("two stations are named 'twin'"), std::string::npos) << error;
  EXPECT_NE(error.find("run 000000000000002a on host elsewhere"), std::string::npos) << error;
  EXPECT_NE(error.find(runs[0]), std::string::npos) << error;
}

// A newer station, and an older one (frame type 2: frames of 320 x 240
// alone, without their lens), are named and refused.
TEST(NetDiscovery, AStationOfAnotherFrameTypeIsNamedAndRefused) {
  for (const int frameType : {FrameTypeVersion() + 1, 2}) {
    const std::string name = frameType > FrameTypeVersion() ? "newer" : "older";
    Announcer other(name, 7, frameType);
    std::string error;
    for (const std::string& items : {name + "/1", std::string()}) {
      EXPECT_EQ(MakeSensorBackend(NetSpecText(items), 0, &error), nullptr) << items;
      EXPECT_NE(error.find("station '" + name + "' (run 0000000000000007 on host elsewhere) is kestrova 9.9, "
                           "frame type " + std::to_string(frameType)),
                std::string::npos)
          << error;
      EXPECT_NE(error.find("reads frame type " + std::to_string(FrameTypeVersion()) + " only"),
                std::string::npos)
          << error;
    }
  }
}

// A camera of a stand-in station that the test writes samples for.
class FakeStationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    receiver_ = std::make_shared<NetReceiver>();
    ASSERT_TRUE(receiver_->Start(testing::TestDomain(), "", &error)) << error;
    station_ = std::make_unique<Announcer>("fake", kFakeRun, FrameTypeVersion());
    ASSERT_TRUE(receiver_->WaitForStations([](const auto& stations) { return !stations.empty(); },
                                           10000));
    sensor_ = std::make_unique<NetSensor>(0, receiver_, receiver_->Stations()[0], 1, "SER1", DepthFrameFormat());
    ASSERT_EQ(sensor_->NuiImageStreamOpen(NUI_IMAGE_TYPE_DEPTH, NUI_IMAGE_RESOLUTION_320x240, 0, 2,
                                          nullptr, &stream_),
              S_OK);
    sensor_->NuiSetFrameEndEvent(&frameEnd_, 0);
    writer_ = station_->Domain().CreateFrameWriter();
    ASSERT_GT(writer_, 0);
    // The reader must be matched before anything is written (volatile).
    const auto until = Clock::now() + 10s;
    dds_publication_matched_status_t matched{};
    while (matched.current_count == 0 && Clock::now() < until) {
      dds_get_publication_matched_status(writer_, &matched);
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(matched.current_count, 1u);
  }

  bool WaitForDropped(std::uint64_t count) {
    const auto until = Clock::now() + 10s;
    while (receiver_->DroppedSamples() < count && Clock::now() < until)
      std::this_thread::sleep_for(10ms);
    return receiver_->DroppedSamples() == count;
  }

  std::shared_ptr<NetReceiver> receiver_;
  std::unique_ptr<NetSensor> sensor_;
  NuiStreamHandle stream_ = kNoStream;
  ManualResetEvent frameEnd_;
  std::unique_ptr<Announcer> station_;
  dds_entity_t writer_ = 0;
  FrameSampleEncoder encoder_;
};

TEST_F(FakeStationTest, AMalformedSampleIsDroppedAndCountedAndTheNextFrameComes) {
  const auto pixels = Ramp(800);
  kestrova_net_DepthFrameSample bad = GoodSample(encoder_, pixels, 7, 700);
  bad.pixels._length /= 2;
  ASSERT_EQ(dds_write(writer_, &bad), 0);
  ASSERT_TRUE(WaitForDropped(1));
  NuiImageFrame frame{};
  EXPECT_EQ(sensor_->NuiImageStreamGetNextFrame(stream_, 0, &frame), E_NUI_FRAME_NO_DATA);

  kestrova_net_DepthFrameSample good = GoodSample(encoder_, pixels, 8, 733);
  ASSERT_EQ(dds_write(writer_, &good), 0);
  ASSERT_TRUE(frameEnd_.Wait(10s));
  ASSERT_EQ(sensor_->NuiImageStreamGetNextFrame(stream_, 5000, &frame), S_OK);
  EXPECT_EQ(frame.dwFrameNumber, 8u);
  EXPECT_EQ(frame.liTimeStamp.QuadPart, 733);
  EXPECT_EQ(frame.pFrameTexture->pixels, pixels);
  sensor_->NuiImageStreamReleaseFrame(stream_, &frame);
  EXPECT_EQ(receiver_->DroppedSamples(), 1u);
}

TEST_F(FakeStationTest, AGoneStationIsALostCameraAfterItsLastFrame) {
  const auto pixels = Ramp(0);
  kestrova_net_DepthFrameSample last = GoodSample(encoder_, pixels, 1, 33);
  ASSERT_EQ(dds_write(writer_, &last), 0);
  ASSERT_TRUE(frameEnd_.Wait(10s));
  station_->Domain().Close();  // the station leaves: its writers go with it

  // The frame that came before is still delivered, then the camera is lost.
  NuiImageFrame frame{};
  ASSERT_EQ(sensor_->NuiImageStreamGetNextFrame(stream_, 5000, &frame), S_OK);
  EXPECT_EQ(frame.dwFrameNumber, 1u);
  sensor_->NuiImageStreamReleaseFrame(stream_, &frame);
  HRESULT result = S_OK;
  const auto until = Clock::now() + 15s;
  while (result != E_NUI_DEVICE_NOT_CONNECTED && Clock::now() < until)
    result = sensor_->NuiImageStreamGetNextFrame(stream_, 100, &frame);
  EXPECT_EQ(result, E_NUI_DEVICE_NOT_CONNECTED);
}

}  // namespace
}  // namespace kestrova::net
