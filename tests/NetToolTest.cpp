// kestrova-station and kestrova-record as users run them, over DDS on the
// loopback: a take from two stations, the same replayed frames recorded
// through a station and locally, a station ended by Ctrl-C or killed; and
// the hostile cases: frames spoofed under a station's name, two stations
// of one name at the same moment, a station restarted mid-take.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "capture/DepthPgm.h"
#include "capture/SensorChoice.h"
#include "capture/Event.h"
#include "tests/support/Commands.h"
#include "tests/support/Impostor.h"
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

std::int64_t Stamp(const std::array<long long, 3>& line) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(line[1]) << 32) |
                                   static_cast<std::uint32_t>(line[2]));
}

std::unique_ptr<BackgroundProgram> LaunchStation(const TempDir& dir, const std::string& name,
                                                 const std::string& sensors, const std::string& log,
                                                 const std::string& fps = "30") {
  auto station = std::make_unique<BackgroundProgram>(
      std::vector<std::string>{KESTROVA_STATION, "--sensors", sensors, "--name", name, "--fps", fps,
                               "--domain", Domain()},
      dir.File(log));
  EXPECT_TRUE(station->Started());
  return station;
}

std::unique_ptr<BackgroundProgram> StartStation(const TempDir& dir, const std::string& name,
                                                const std::string& sensors,
                                                const std::string& fps = "30") {
  auto station = LaunchStation(dir, name, sensors, name + ".log", fps);
  // It lists its cameras once it has made sure its name is free.
  EXPECT_TRUE(station->WaitForOutput("station " + name + ": camera", 20s)) << station->Output();
  return station;
}

// "run 0123456789abcdef", as a station names its run and recorders name it.
std::string RunOf(const BackgroundProgram& station) {
  const std::string output = station.Output();
  const size_t at = output.find(": run ");
  return at == std::string::npos ? "(no run)" : output.substr(at + 2, 20);
}

std::string RunText(std::uint64_t run) {
  char text[24];
  std::snprintf(text, sizeof text, "run %016llx", static_cast<unsigned long long>(run));
  return text;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A simulated camera at 30 frames a second: every time stamp a whole number
// of frame periods after the one before (one, or more where a busy machine
// cost a frame), never a stamp of another clock.
void ExpectOneCamerasFrames(const std::vector<std::array<long long, 3>>& lines, const std::string& what) {
  int lost = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::int64_t step = Stamp(lines[i]) - Stamp(lines[i - 1]);
    const double periods = step / (1000.0 / 30);
    EXPECT_TRUE(step > 0 && std::abs(periods - std::round(periods)) * (1000.0 / 30) <= 1.0)
        << what << ", frame " << lines[i][0] << ": " << step << " ms";
    lost += static_cast<int>(std::round(periods)) - 1;
  }
  EXPECT_LE(lost, 3) << what << ": frames lost";
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
    // Every cycle (a camera held up on a busy machine may miss one).
    const size_t lines = ReadTimeStampLines(dir.File("TS" + n + ".txt")).size();
    EXPECT_GE(lines, 59u) << camera;
    EXPECT_EQ(ReadRecordCounts(dir.File("PCL" + n + ".dat")).size(), lines) << camera;
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
// A station killed mid-take is found out by DDS liveliness alone, which
// takes more than a second; meanwhile the other station's cameras lose no
// frame (before, every cycle waited for the dead cameras, and the others
// lost some 40 frames each).
TEST(StationTool, AStationKilledMidTakeIsALostCameraAndTheOthersLoseNoFrame) {
  TempDir dir;
  auto kept = StartStation(dir, "kept", "sim:2");
  auto doomed = StartStation(dir, "doomed2", "sim:2");
  BackgroundProgram recorder({KESTROVA_RECORD, "--sensors",
                              "net:kept/1,kept/2,doomed2/1,doomed2/2,domain=" + Domain(), "--seconds", "30",
                              "--params", AllCamerasParams(dir), "--out", dir.path()},
                             dir.File("record.log"));
  ASSERT_TRUE(recorder.WaitForOutput("cycles/s", 20s)) << recorder.Output();
  doomed->Signal(SIGKILL);
  EXPECT_TRUE(recorder.WaitForOutput("camera 4 lost at frame", 20s)) << recorder.Output();
  std::this_thread::sleep_for(1s);
  recorder.Signal(SIGINT);
  EXPECT_EQ(recorder.Wait(20s), 3) << recorder.Output();
  EXPECT_NE(recorder.Output().find("recorded, but camera 3 was lost at frame"), std::string::npos)
      << recorder.Output();
  for (int camera : {1, 2}) {
    // The kept cameras' stamps step by one frame period (33 or 34 ms at 30
    // a second) from the first line to the last; a busy machine may make a
    // simulated camera miss a frame of its own now and then.
    const auto lines = ReadTimeStampLines(dir.File("TS" + std::to_string(camera) + ".txt"));
    ASSERT_GT(lines.size(), 60u);
    int lost = 0;
    for (size_t i = 1; i < lines.size(); ++i)
      lost += static_cast<int>(std::lround((lines[i][2] - lines[i - 1][2]) / (1000.0 / 30))) - 1;
    EXPECT_LE(lost, 2) << "camera " << camera << " lost " << lost << " frames";
    EXPECT_EQ(lines.back()[0] - lines.front()[0] + 1, static_cast<long long>(lines.size()))
        << "camera " << camera << " missed cycles";
  }
  EndStation(*kept);
}

// The README's set-up for networks without multicast, pasted as it stands
// (with the loopback for its interface and addresses), connects a station
// and a recorder.
TEST(StationTool, TheReadmesSetUpWithoutMulticastConnectsAsWritten) {
  const std::string config = testing::ReadmeUnicastConfig("lo", "127.0.0.1", "127.0.0.1");
  ASSERT_FALSE(config.empty()) << "no configuration without multicast in the README";
  TempDir dir;
  const std::string uri = "CYCLONEDDS_URI=" + config;
  BackgroundProgram station({"/usr/bin/env", uri, KESTROVA_STATION, "--sensors", "sim:1", "--name",
                             "pasted", "--domain", Domain()},
                            dir.File("station.log"));
  ASSERT_TRUE(station.WaitForOutput("station pasted: camera 1", 20s)) << station.Output();
  BackgroundProgram recorder({"/usr/bin/env", uri, KESTROVA_RECORD, "--sensors",
                              "net,pasted/1,domain=" + Domain(), "--frames", "30", "--params",
                              AllCamerasParams(dir), "--out", dir.path()},
                             dir.File("record.log"));
  ASSERT_EQ(recorder.Wait(30s), 0) << recorder.Output();
  EXPECT_EQ(ReadTimeStampLines(dir.File("TS1.txt")).size(), 30u);
  EndStation(station);
}

// --- hostile cases

// Another program publishes frames under the station's name, run and camera
// number, at twice its rate, and disposes of the camera's instance; a second
// run of the name announces itself during the take. None of it reaches the
// take, and the recorder says so.
TEST(HostileNetwork, SpoofedFramesNeverEnterTheTake) {
  TempDir dir;
  auto station = StartStation(dir, "left", "sim:1");
  testing::Impostor impostor(TestDomain());
  ASSERT_TRUE(impostor.CopyRunOf("left", 10000));
  EXPECT_EQ(RunText(impostor.Run()), RunOf(*station));
  impostor.StartFrames("left", 1, 60);
  BackgroundProgram recorder({KESTROVA_RECORD, "--sensors", "net:left/1,domain=" + Domain(), "--frames",
                              "120", "--params", AllCamerasParams(dir), "--out", dir.path()},
                             dir.File("record.log"));
  ASSERT_TRUE(recorder.WaitForOutput("cycles/s", 20s)) << recorder.Output();
  impostor.Dispose("left", 1);
  // And another run of the name announces itself during the take.
  testing::Impostor newcomer(TestDomain());
  newcomer.Announce("left", 0xbad);
  ASSERT_EQ(recorder.Wait(30s), 0) << recorder.Output();
  EXPECT_GT(impostor.FramesWritten(), 60u);

  const auto lines = ReadTimeStampLines(dir.File("TS1.txt"));
  ASSERT_EQ(lines.size(), 120u);
  ExpectOneCamerasFrames(lines, "camera 1");
  const std::string output = recorder.Output();
  EXPECT_NE(output.find("camera 1 (left/1): frames from a source other than station left (" +
                        RunOf(*station) + " on host "),
            std::string::npos)
      << output;
  EXPECT_TRUE(std::regex_search(output, std::regex("camera 1 \\(left/1\\): [1-9][0-9]* frames from other "
                                                   "sources than its station were ignored")))
      << output;
  EXPECT_NE(output.find("a second station named 'left' appeared (run 0000000000000bad on host impostor); "
                        "its frames are ignored while the take's " + RunOf(*station)),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("lost"), std::string::npos) << output;
  EndStation(*station);
}

// Two stations of one name started at the same moment: at most one keeps
// the name, the other refuses naming both runs; a take of the name then
// gets one camera's frames at its own rate.
TEST(HostileNetwork, TwoStationsOfOneNameStartedTogetherNeverBothRun) {
  TempDir dir;
  auto first = LaunchStation(dir, "twin", "sim:1", "first.log");
  auto second = LaunchStation(dir, "twin", "sim:1", "second.log");
  // Each has either started sending or refused once its name check is over.
  for (BackgroundProgram* station : {first.get(), second.get()}) {
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (station->Output().find("station twin: camera") == std::string::npos &&
           station->Output().find("kestrova-station: ") == std::string::npos &&
           std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(20ms);
  }
  std::vector<BackgroundProgram*> running;
  for (BackgroundProgram* station : {first.get(), second.get()}) {
    if (station->Wait(500ms) == -1) {
      running.push_back(station);
      continue;
    }
    EXPECT_EQ(station->Wait(0s), 1) << station->Output();
    EXPECT_NE(station->Output().find("a station named 'twin' is already running"), std::string::npos)
        << station->Output();
    EXPECT_EQ(Count(station->Output(), "run "), 2u) << station->Output();
  }
  ASSERT_LE(running.size(), 1u) << first->Output() << second->Output();

  auto run = Record("--sensors net:twin/1,domain=" + Domain() + " --frames 45 --params " +
                    AllCamerasParams(dir) + " --out " + dir.path());
  if (running.empty()) {
    EXPECT_EQ(run.status, 1) << run.output;
    return;
  }
  ASSERT_EQ(run.status, 0) << run.output;
  ExpectOneCamerasFrames(ReadTimeStampLines(dir.File("TS1.txt")), "camera 1");
  EndStation(*running[0]);
}

// A second run of a name that does not check (an older build, a station
// beyond a network split, a hostile program) while a station runs: the
// recorder refuses the name before the take, naming both runs.
TEST(HostileNetwork, ARecorderRefusesANameAnnouncedByTwoRuns) {
  TempDir dir;
  auto station = StartStation(dir, "twin2", "sim:1");
  testing::Impostor impostor(TestDomain());
  impostor.Announce("twin2", 0x5eed);
  impostor.StartFrames("twin2", 1, 30);
  auto run = Record("--sensors net:twin2/1,domain=" + Domain() + " --frames 30 --params " +
                    AllCamerasParams(dir) + " --out " + dir.path());
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("two stations are named 'twin2'"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(RunOf(*station)), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("run 0000000000005eed on host impostor"), std::string::npos) << run.output;
  EXPECT_FALSE(std::filesystem::exists(dir.File("TS1.txt")));
  EndStation(*station);
}

// A station that goes away mid-take and starts again under its name is
// taken back as a resumed camera, each new run named; it is not lost again
// while it delivers, and the end names every loss with the frames missing.
TEST(HostileNetwork, AStationRestartedMidTakeIsResumedAndEveryLossIsTold) {
  TempDir dir;
  auto kept = StartStation(dir, "kept", "sim:1");
  std::vector<std::unique_ptr<BackgroundProgram>> runs;
  runs.push_back(StartStation(dir, "phoenix", "sim:1"));
  BackgroundProgram recorder({KESTROVA_RECORD, "--sensors", "net:kept/1,phoenix/1,domain=" + Domain(),
                              "--seconds", "120", "--params", AllCamerasParams(dir), "--out", dir.path()},
                             dir.File("record.log"));
  ASSERT_TRUE(recorder.WaitForOutput("cycles/s", 20s)) << recorder.Output();
  // Killed without a goodbye, then ended by SIGTERM: each time started again.
  for (int signal : {SIGKILL, SIGTERM}) {
    const size_t lostBefore = Count(recorder.Output(), "camera 2 lost at frame");
    runs.back()->Signal(signal);
    runs.back()->Wait(10s);
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (Count(recorder.Output(), "camera 2 lost at frame") == lostBefore &&
           std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(20ms);
    ASSERT_EQ(Count(recorder.Output(), "camera 2 lost at frame"), lostBefore + 1) << recorder.Output();
    runs.push_back(LaunchStation(dir, "phoenix", "sim:1", "phoenix" + std::to_string(runs.size()) + ".log"));
    ASSERT_TRUE(runs.back()->WaitForOutput("station phoenix: camera", 20s)) << runs.back()->Output();
    ASSERT_TRUE(recorder.WaitForOutput("restarted as " + RunOf(*runs.back()), 20s)) << recorder.Output();
    const size_t backBefore = Count(recorder.Output(), "camera 2 back at frame");
    const auto back = std::chrono::steady_clock::now() + 20s;
    while (Count(recorder.Output(), "camera 2 back at frame") == backBefore &&
           std::chrono::steady_clock::now() < back)
      std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(1500ms);  // delivering: not lost again
  }
  recorder.Signal(SIGINT);
  ASSERT_EQ(recorder.Wait(20s), 3) << recorder.Output();
  const std::string output = recorder.Output();
  EXPECT_EQ(Count(output, "camera 2 lost at frame"), 2u) << output;
  EXPECT_EQ(Count(output, "camera 2 back at frame"), 2u) << output;
  EXPECT_EQ(Count(output, "camera 1 lost"), 0u) << output;

  // The end names both losses, and its files miss exactly those frames.
  std::smatch match;
  std::set<long long> missing;
  auto from = output.cbegin();
  const std::regex loss("recorded, but camera 2 was lost at frame ([0-9]+) \\(back at frame ([0-9]+): "
                        "frames ([0-9]+) to ([0-9]+) missing\\)");
  int losses = 0;
  while (std::regex_search(from, output.cend(), match, loss)) {
    const long long lostAt = std::stoll(match[1]), backAt = std::stoll(match[2]);
    EXPECT_EQ(std::stoll(match[3]), lostAt);
    EXPECT_EQ(std::stoll(match[4]), backAt - 1);
    for (long long f = lostAt; f < backAt; ++f) missing.insert(f);
    ++losses;
    from = match.suffix().first;
  }
  EXPECT_EQ(losses, 2) << output;
  const auto all = ReadTimeStampLines(dir.File("TS1.txt"));
  const auto resumed = ReadTimeStampLines(dir.File("TS2.txt"));
  ASSERT_FALSE(all.empty());
  std::set<long long> recorded;
  for (const auto& line : resumed) recorded.insert(line[0]);
  for (const auto& line : all)
    EXPECT_NE(recorded.count(line[0]) == 1, missing.count(line[0]) == 1) << "frame " << line[0];
  EndStation(*kept);
  EndStation(*runs.back());
}

}  // namespace
}  // namespace kestrova
