// kestrova-station and kestrova-record as users run them, over DDS on the
// loopback: a take from two stations, the same replayed frames recorded
// through a station and locally, a station ended by Ctrl-C or killed.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "capture/DepthPgm.h"
#include "capture/SensorChoice.h"
#include "capture/Event.h"
#include "tests/support/Commands.h"
#include "tests/support/NetTesting.h"
#include "tests/support/TakeFiles.h"
#include "tests/support/TempDir.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::BackgroundProgram;
using testing::ReadFile;
using testing::ReadRecordCounts;
using testing::ReadTimeStampLines;
using testing::TempDir;
using testing::TestDomain;
using testing::WriteFile;
namespace fs = std::filesystem;

const auto* const loopback =
    ::testing::AddGlobalTestEnvironment(new kestrova::testing::LoopbackDdsEnvironment);

std::string Domain() { return std::to_string(TestDomain()); }

std::unique_ptr<BackgroundProgram> StartStation(const TempDir& dir, const std::string& name,
                                                const std::string& sensors,
                                                const std::string& fps = "30") {
  auto station = std::make_unique<BackgroundProgram>(
      std::vector<std::string>{KESTROVA_STATION, "--sensors", sensors, "--name", name, "--fps", fps,
                               "--domain", Domain()},
      dir.File(name + ".log"));
  EXPECT_TRUE(station->Started());
  // It announces its cameras once it has made sure its name is free.
  EXPECT_TRUE(station->WaitForOutput("station " + name + ": camera", 20s)) << station->Output();
  return station;
}

void EndStation(BackgroundProgram& station) {
  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(20s), 0) << station.Output();
  EXPECT_NE(station.Output().find("stopped; frames sent: camera 1: "), std::string::npos)
      << station.Output();
}

// Every camera on, and a region of interest wide enough for every point.
std::string AllCamerasParams(const TempDir& dir) {
  std::string path = dir.File("params.txt");
  WriteFile(path, "TIME: x\r\n \r\nCAL: 0.001200 \r\nCAM: 1 1 1 1 \r\n"
                  "ROI: -1000 1000 -1000 1000 -1000 1000 \r\n");
  return path;
}

testing::CommandRun Record(const std::string& arguments) {
  return testing::RunCommand("'" KESTROVA_RECORD "' " + arguments);
}

std::int64_t Stamp(const std::array<long long, 3>& line) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(line[1]) << 32) |
                                   static_cast<std::uint32_t>(line[2]));
}

TEST(StationTool, HelpAndBadOptions) {
  auto help = testing::RunCommand("'" KESTROVA_STATION "' --help");
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--sensors", "--name", "--fps", "--domain"})
    EXPECT_NE(help.output.find(option), std::string::npos) << option;
  for (const char* bad : {"--domain 231", "--domain x", "--fps -1", "--bogus", "--name",
                          "--sensors net:a/1", "--sensors nothing"}) {
    auto run = testing::RunCommand("'" KESTROVA_STATION "' " + std::string(bad));
    EXPECT_EQ(run.status, 2) << bad << ": " << run.output;
    EXPECT_NE(run.output.find("kestrova-station: "), std::string::npos) << bad;
  }
  auto badName = testing::RunCommand("'" KESTROVA_STATION "' --sensors sim:1 --name a/b --domain " +
                                     Domain());
  EXPECT_EQ(badName.status, 1) << badName.output;
  EXPECT_NE(badName.output.find("station name 'a/b'"), std::string::npos) << badName.output;
}

TEST(StationTool, ATakeOfFourCamerasFromTwoStations) {
  TempDir dir;
  auto left = StartStation(dir, "left", "sim:2");
  auto right = StartStation(dir, "right", "sim:2");
  auto run = Record("--sensors net:left/1,left/2,right/2,right/1,domain=" + Domain() +
                    " --frames 60 --params " + AllCamerasParams(dir) + " --out " + dir.path());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("camera 1: net sensor left/SIM0001"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("camera 3: net sensor right/SIM0002"), std::string::npos) << run.output;
  for (int camera = 1; camera <= 4; ++camera) {
    const std::string n = std::to_string(camera);
    EXPECT_EQ(ReadTimeStampLines(dir.File("TS" + n + ".txt")).size(), 60u) << camera;
    EXPECT_EQ(ReadRecordCounts(dir.File("PCL" + n + ".dat")).size(), 60u) << camera;
  }
  // The progress line shows the recorder listening.
  EXPECT_NE(left->Output().find("recorders 1"), std::string::npos) << left->Output();
  EndStation(*left);
  EndStation(*right);
}

// Depth frames within the cameras' default depth limit (1228 mm), with a
// bump that moves from frame to frame, so that every frame makes other points.
void WriteReplayFrames(const std::string& dir, int cameras, int frames) {
  for (int camera = 1; camera <= cameras; ++camera) {
    fs::create_directories(dir + "/cam" + std::to_string(camera));
    for (int n = 0; n < frames; ++n) {
      std::vector<std::uint16_t> depth(kDepthPixels);
      for (int y = 0; y < kDepthHeight; ++y)
        for (int x = 0; x < kDepthWidth; ++x) {
          const int dx = x - (n * 3) % kDepthWidth, dy = y - 120;
          const bool bump = dx * dx + dy * dy < 900;
          depth[y * kDepthWidth + x] = static_cast<std::uint16_t>(600 + 2 * y + 50 * camera -
                                                                  (bump ? 150 : 0));
        }
      char name[64];
      std::snprintf(name, sizeof name, "/cam%d/frame%04d.pgm", camera, n);
      std::string error;
      ASSERT_TRUE(WriteDepthPgm(dir + name, depth, kDepthWidth, kDepthHeight, &error)) << error;
    }
  }
}

TEST(StationTool, ReplayedFramesThroughAStationMakeTheSamePointsAsLocally) {
  TempDir dir;
  const std::string source = dir.File("source");
  constexpr int kFrames = 150, kTake = 20;
  WriteReplayFrames(source, 2, kFrames);
  auto station = StartStation(dir, "replayer", "replay:" + source, "15");
  const std::string remote = dir.File("remote");
  fs::create_directories(remote);
  auto run = Record("--sensors net:replayer/1,replayer/2,domain=" + Domain() + " --frames " +
                    std::to_string(kTake) + " --params " + AllCamerasParams(dir) + " --out " + remote);
  ASSERT_EQ(run.status, 0) << run.output;
  EndStation(*station);

  // The frames the take got through the network: consecutive, none dropped.
  const std::string local = dir.File("local");
  for (int camera = 1; camera <= 2; ++camera) {
    const std::string n = std::to_string(camera);
    auto lines = ReadTimeStampLines(remote + "/TS" + n + ".txt");
    ASSERT_EQ(lines.size(), static_cast<size_t>(kTake));
    // A replay stamps frame i with i frame periods (1000 / 15 ms).
    const long first = std::lround(Stamp(lines[0]) * 15.0 / 1000);
    for (int k = 0; k < kTake; ++k)
      ASSERT_EQ(std::lround(Stamp(lines[k]) * 15.0 / 1000), first + k) << "camera " << n;
    ASSERT_LE(first + kTake, kFrames);
    // The same frames, replayed here.
    fs::create_directories(local + "/frames/cam" + n);
    for (int k = 0; k < kTake; ++k) {
      char name[64];
      std::snprintf(name, sizeof name, "/cam%d/frame%04ld.pgm", camera, first + k);
      fs::copy_file(source + name, local + "/frames" + name);
    }
  }
  auto localRun = Record("--sensors replay:" + local + "/frames --frames " + std::to_string(kTake) +
                         " --params " + AllCamerasParams(dir) + " --out " + local);
  ASSERT_EQ(localRun.status, 0) << localRun.output;
  for (int camera = 1; camera <= 2; ++camera) {
    const std::string file = "/PCL" + std::to_string(camera) + ".dat";
    const std::string remoteBytes = ReadFile(remote + file);
    EXPECT_GT(remoteBytes.size(), static_cast<size_t>(kTake) * 1000);  // points, not just counts
    EXPECT_TRUE(remoteBytes == ReadFile(local + file)) << "camera " << camera;
  }
}

TEST(StationTool, AKilledStationIsALostCameraWithinSeconds) {
  TempDir dir;
  auto station = StartStation(dir, "doomed", "sim:1");
  std::string error;
  auto backend = MakeSensorBackend("net:doomed/1,domain=" + Domain(), 0, &error);
  ASSERT_NE(backend, nullptr) << error;
  std::unique_ptr<INuiSensor> sensor;
  ASSERT_EQ(backend->NuiCreateSensorByIndex(0, &sensor), S_OK);
  NuiStreamHandle stream = kNoStream;
  ASSERT_EQ(sensor->NuiImageStreamOpen(NUI_IMAGE_TYPE_DEPTH, NUI_IMAGE_RESOLUTION_320x240, 0, 2,
                                       nullptr, &stream),
            S_OK);
  NuiImageFrame frame{};
  ASSERT_EQ(sensor->NuiImageStreamGetNextFrame(stream, 5000, &frame), S_OK);
  sensor->NuiImageStreamReleaseFrame(stream, &frame);

  station->Signal(SIGKILL);  // no goodbye: only its silence tells
  ASSERT_EQ(station->Wait(10s), 128 + SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  HRESULT result = S_OK;
  while (result != E_NUI_DEVICE_NOT_CONNECTED && std::chrono::steady_clock::now() < killed + 20s) {
    result = sensor->NuiImageStreamGetNextFrame(stream, 100, &frame);
    if (result == S_OK) sensor->NuiImageStreamReleaseFrame(stream, &frame);
  }
  EXPECT_EQ(result, E_NUI_DEVICE_NOT_CONNECTED);
  // Within the liveliness lease (3 s) and a little.
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 10s);
}

// A station killed mid-take is a lost camera: the take goes on with the
// other station's camera and the tool exits 3 naming camera 2.
TEST(StationTool, AStationKilledMidTakeIsALostCameraOfTheTake) {
  TempDir dir;
  auto kept = StartStation(dir, "kept", "sim:1");
  auto doomed = StartStation(dir, "doomed2", "sim:1");
  BackgroundProgram recorder({KESTROVA_RECORD, "--sensors",
                              "net:kept/1,doomed2/1,domain=" + Domain(), "--seconds", "30",
                              "--params", AllCamerasParams(dir), "--out", dir.path()},
                             dir.File("record.log"));
  ASSERT_TRUE(recorder.WaitForOutput("cycles/s", 20s)) << recorder.Output();
  doomed->Signal(SIGKILL);
  EXPECT_EQ(recorder.Wait(40s), 3) << recorder.Output();
  EXPECT_NE(recorder.Output().find("recorded, but camera 2 was lost at frame"), std::string::npos)
      << recorder.Output();
  EndStation(*kept);
}

}  // namespace
}  // namespace kestrova
