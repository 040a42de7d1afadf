// The take files: their exact bytes, when a take is refused, what a full
// disk leaves, and takes recorded by the engine from simulated and replayed
// sensors.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "capture/DepthPgm.h"
#include "capture/ReplaySensor.h"
#include "capture/SensorChoice.h"
#include "capture/SimulatedScene.h"
#include "core/Recorder.h"
#include "record/TakeLayout.h"
#include "record/TakeWriter.h"
#include "tests/support/TakeFiles.h"
#include "tests/support/TempDir.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::ReadFile;
using testing::ReadRecordCounts;
using testing::ReadTimeStampLines;
using testing::TempDir;
using testing::WriteFile;

const TakeWriter::SnapshotWriter kSnapshot = [](const std::string& path, std::string* error) {
  return WriteFileAtomically(path, "snapshot", error);
};

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

Cloud Points(std::initializer_list<pcl::PointXYZ> points) {
  Cloud cloud;
  for (const auto& p : points) cloud.push_back(p);
  return cloud;
}

TEST(TakeLayout, NamesEveryFileOfATake) {
  EXPECT_STREQ(kTakeSettingsFile, "RECPARAM.txt");
  EXPECT_EQ(CameraFileName(CameraFile::Points, 0), "PCL1.dat");
  EXPECT_EQ(CameraFileName(CameraFile::TimeStamps, 3), "TS4.txt");
  EXPECT_EQ(CameraFileName(CameraFile::Depth, 1), "DEPTH2.dat");
}

TEST(TakeWriter, SmallTakeByteForByte) {
  TempDir dir;
  TakeWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(dir.path(), {true, false, true, false}, kSnapshot, &error)) << error;
  EXPECT_TRUE(writer.Append(0, 0, 53211, Points({{1.0f, -2.5f, 0.25f}, {0, 0, 0}})));
  EXPECT_TRUE(writer.Append(2, 0, (1LL << 31) + 5, Cloud()));
  EXPECT_TRUE(writer.Append(0, 1, (1LL << 32) + 7, Cloud()));
  ASSERT_TRUE(writer.Close(&error)) << error;

  EXPECT_EQ(ReadFile(dir.File("RECPARAM.txt")), "snapshot");
  EXPECT_EQ(ReadFile(dir.File("TS1.txt")), "0 0 53211 \r\n1 1 7 \r\n");
  // 2^31 + 5 ms: the low half printed as a signed number.
  EXPECT_EQ(ReadFile(dir.File("TS3.txt")), "0 0 -2147483643 \r\n");
  const char pcl1[] = {
      2, 0, 0, 0,                                                    // two points
      0, 0, char(0x80), 0x3F, 0, 0, 0x20, char(0xC0), 0, 0, char(0x80), 0x3E,  // 1, -2.5, 0.25
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                            // 0, 0, 0
      0, 0, 0, 0};                                                   // an empty cloud
  EXPECT_EQ(ReadFile(dir.File("PCL1.dat")), std::string(pcl1, sizeof pcl1));
  EXPECT_EQ(ReadFile(dir.File("PCL3.dat")), std::string(4, '\0'));
  EXPECT_FALSE(std::filesystem::exists(dir.File("PCL2.dat")));
}

TEST(TakeWriter, SecondTakeReplacesTheOlderTakeWhole) {
  TempDir dir;
  std::string error;
  {
    TakeWriter first;
    ASSERT_TRUE(first.Open(dir.path(), {true, true, false, false}, kSnapshot, &error));
    first.Append(0, 0, 1, Cloud());
    first.Append(1, 0, 2, Cloud());
    first.Close(&error);
  }
  TakeWriter second;
  ASSERT_TRUE(second.Open(dir.path(), {true, false, false, false}, kSnapshot, &error));
  second.Close(&error);
  EXPECT_EQ(ReadFile(dir.File("TS1.txt")), "");
  // Camera 2's files of the older take would pass for this take's.
  EXPECT_FALSE(std::filesystem::exists(dir.File("TS2.txt")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("PCL2.dat")));
}

TEST(TakeWriter, ALaterTakeRemovesSnapshotTemporariesOfKilledTakes) {
  TempDir dir;
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  waitpid(gone, nullptr, 0);  // a process that no longer runs
  const std::string leftover = "RECPARAM.txt.tmp" + std::to_string(gone) + "-0";
  const std::string running = "RECPARAM.txt.tmp" + std::to_string(getppid()) + "-0";
  for (const std::string& name : {leftover, running, std::string("RECPARAM.txt.tmp1x-0"),
                                  std::string("KVA_Params.txt.tmp") + std::to_string(gone) + "-0"})
    WriteFile(dir.File(name), "TIME: ");
  TakeWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(dir.path(), {true, false, false, false}, kSnapshot, &error)) << error;
  EXPECT_FALSE(std::filesystem::exists(dir.File(leftover)));
  EXPECT_TRUE(std::filesystem::exists(dir.File(running)));  // its process may still be writing it
  EXPECT_TRUE(std::filesystem::exists(dir.File("RECPARAM.txt.tmp1x-0")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("KVA_Params.txt.tmp" + std::to_string(gone) + "-0")));
}

TEST(TakeWriter, TrailingSeparatorGivesTwo) {
  TempDir dir;
  std::string written;
  TakeWriter writer;
  std::string error;
  auto snapshot = [&](const std::string& path, std::string* why) {
    written = path;
    return WriteFileAtomically(path, "", why);
  };
  ASSERT_TRUE(writer.Open(dir.path() + "/", {false, false, false, false}, snapshot, &error));
  EXPECT_EQ(written, dir.path() + "//RECPARAM.txt");
}

TEST(TakeWriter, RefusedTakeNamesThePathAndLeavesAnOlderTakeWhole) {
  TempDir dir;
  WriteFile(dir.File("RECPARAM.txt"), "older");
  WriteFile(dir.File("TS1.txt"), "0 0 5 \r\n");
  std::filesystem::create_directory(dir.File("PCL2.dat"));  // cannot be created as a file
  TakeWriter writer;
  std::string error;
  EXPECT_FALSE(writer.Open(dir.path(), {true, true, false, false}, kSnapshot, &error));
  EXPECT_NE(error.find(dir.File("PCL2.dat")), std::string::npos) << error;
  EXPECT_EQ(ReadFile(dir.File("RECPARAM.txt")), "older");
  EXPECT_EQ(ReadFile(dir.File("TS1.txt")), "0 0 5 \r\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("PCL1.dat")));  // created, then removed
}

TEST(TakeWriter, MissingDirectoryFileInTheWayAndLongPathAreRefused) {
  TempDir dir;
  TakeWriter writer;
  std::string error;
  EXPECT_FALSE(writer.Open(dir.File("missing"), {true, false, false, false}, kSnapshot, &error));
  EXPECT_NE(error.find(dir.File("missing")), std::string::npos);
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;

  WriteFile(dir.File("plain"), "x");
  EXPECT_FALSE(writer.Open(dir.File("plain"), {true, false, false, false}, kSnapshot, &error));
  EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;

  std::string deep = dir.path() + "/" + std::string(1010, 'd');
  EXPECT_FALSE(writer.Open(deep, {false, false, false, false}, kSnapshot, &error));
  EXPECT_NE(error.find("too long"), std::string::npos) << error;
}

// Makes writes beyond `bytes` fail, as a full disk would (EFBIG here).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limited = previous_;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &previous_); }

 private:
  rlimit previous_;
};

TEST(TakeWriter, FullDiskKeepsEveryWholeCycleAndNothingElse) {
  TempDir dir;
  TakeWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(dir.path(), {true, false, false, false}, kSnapshot, &error));
  Cloud ten;
  for (int i = 0; i < 10; ++i) ten.push_back({i * 1.0f, 2.0f, 3.0f});
  int written = 0;
  {
    FileSizeLimit limit(1000);
    while (written < 100 && writer.Append(0, written, 33 * written, ten)) ++written;
    EXPECT_FALSE(writer.Append(0, written + 1, 0, ten));  // stays failed
    EXPECT_TRUE(writer.Close(&error)) << error;
  }
  EXPECT_EQ(written, 8);  // 8 records of 124 bytes fit below 1000
  EXPECT_TRUE(writer.Failed());
  EXPECT_NE(writer.FailureMessage().find(dir.File("PCL1.dat")), std::string::npos);
  EXPECT_NE(writer.FailureMessage().find(std::strerror(EFBIG)), std::string::npos);
  size_t trailing = 1;
  EXPECT_EQ(ReadRecordCounts(dir.File("PCL1.dat"), &trailing).size(), 8u);
  EXPECT_EQ(trailing, 0u);
  EXPECT_EQ(ReadTimeStampLines(dir.File("TS1.txt")).size(), 8u);
}

std::unique_ptr<CRecorder> SimEngine(const std::string& spec, const std::string& dir) {
  std::string error;
  auto backend = MakeSensorBackend(spec, 0, &error);
  EXPECT_NE(backend, nullptr) << error;
  auto engine = std::make_unique<CRecorder>(std::move(backend));
  engine->SetOutputDir(dir);
  return engine;
}

void EnableCameras(CRecorder& engine, std::array<int, 4> enabled) {
  engine.owner->Modify([&](OperatorSettings& s) {
    for (int i = 0; i < 4; ++i) s.cameraEnabled[i] = enabled[i];
  });
}

bool WaitForTakeEnd(CRecorder& engine) {
  auto giveUp = std::chrono::steady_clock::now() + 30s;
  while (engine.TakeThreadAlive()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

void RecordCycles(CRecorder& engine, std::uint64_t cycles) {
  std::string error;
  ASSERT_TRUE(engine.StartRecording(&error)) << error;
  auto giveUp = std::chrono::steady_clock::now() + 30s;
  while (engine.RecordCycles() < cycles && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(2ms);
  EXPECT_TRUE(engine.StopRecording());
}

TEST(EngineTake, TwoCamerasGetEqualLinesAndRecordsNumberedFromZero) {
  TempDir dir;
  auto engine = SimEngine("sim:4", dir.path());
  EnableCameras(*engine, {1, 0, 1, 0});
  RecordCycles(*engine, 12);
  EXPECT_EQ(engine->LastTake().end, TakeEnd::Stopped);
  const int cycles = engine->LastTake().cycles;
  for (int n : {1, 3}) {
    auto lines = ReadTimeStampLines(dir.File("TS" + std::to_string(n) + ".txt"));
    size_t trailing = 1;
    auto records = ReadRecordCounts(dir.File("PCL" + std::to_string(n) + ".dat"), &trailing);
    ASSERT_EQ(lines.size(), static_cast<size_t>(cycles));
    EXPECT_EQ(records.size(), lines.size());
    EXPECT_EQ(trailing, 0u);
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i][0], static_cast<long long>(i));
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("TS2.txt")));
  std::string params = ReadFile(dir.File("RECPARAM.txt"));
  EXPECT_NE(params.find("CAM: 1 0 1 0 \r\n"), std::string::npos);
}

TEST(EngineTake, ATakeWhoseEnabledCamerasHaveNoSensorIsRefused) {
  TempDir dir;
  auto engine = SimEngine("sim:2", dir.path());  // cameras 3 and 4 have no sensor
  EnableCameras(*engine, {0, 0, 1, 1});
  std::string error;
  EXPECT_FALSE(engine->StartRecording(&error));
  EXPECT_EQ(error, "none of the enabled cameras has a sensor");
  EXPECT_FALSE(engine->IsRecording());
  EXPECT_FALSE(std::filesystem::exists(dir.File("RECPARAM.txt")));

  // A take of no camera at all still runs, leaving its settings snapshot.
  EnableCameras(*engine, {0, 0, 0, 0});
  ASSERT_TRUE(engine->StartRecording(&error)) << error;
  EXPECT_TRUE(std::filesystem::exists(dir.File("RECPARAM.txt")));
  auto giveUp = std::chrono::steady_clock::now() + 10s;
  while (engine->TakeThreadAlive() && !engine->StopRecording() && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(5ms);
}

TEST(EngineTake, AFailedFetchLeavesAGapInThatCameraOnly) {
  TempDir dir;
  auto engine = SimEngine("sim:2,failfetch=2@3", dir.path());
  EnableCameras(*engine, {1, 1, 0, 0});
  RecordCycles(*engine, 6);
  auto first = ReadTimeStampLines(dir.File("TS1.txt"));
  auto second = ReadTimeStampLines(dir.File("TS2.txt"));
  ASSERT_GE(first.size(), 6u);
  ASSERT_EQ(second.size(), first.size() - 1);
  EXPECT_EQ(second[1][0], 1);
  EXPECT_EQ(second[2][0], 3);  // frame 2 of camera 2 never came: no line, no record
  EXPECT_EQ(ReadRecordCounts(dir.File("PCL2.dat")).size(), second.size());
  EXPECT_EQ(engine->Statistics().Missed(1), 1u);
}

TEST(EngineTake, ACameraThatStopsDeliveringIsLostAndItsFilesEndAtItsLastWholeFrame) {
  TempDir dir;
  auto engine = SimEngine("sim:2,stall=2@20", dir.path());
  EnableCameras(*engine, {1, 1, 0, 0});
  engine->SetTakeCycleLimit(40);
  std::string error;
  ASSERT_TRUE(engine->StartRecording(&error)) << error;
  ASSERT_TRUE(WaitForTakeEnd(*engine));
  EXPECT_EQ(engine->LastTake().end, TakeEnd::CycleLimit);
  for (int n : {1, 2}) {
    size_t trailing = 1;
    auto records = ReadRecordCounts(dir.File("PCL" + std::to_string(n) + ".dat"), &trailing);
    EXPECT_EQ(trailing, 0u);
    EXPECT_EQ(ReadTimeStampLines(dir.File("TS" + std::to_string(n) + ".txt")).size(), records.size());
  }
  auto second = ReadTimeStampLines(dir.File("TS2.txt"));
  ASSERT_FALSE(second.empty());
  EXPECT_LE(second.size(), 20u);
  EXPECT_EQ(engine->Loss(1).lostAt, second.back()[0] + 1);
  EXPECT_EQ(ReadTimeStampLines(dir.File("TS1.txt")).size(), 40u);
}

TEST(EngineTake, FullDiskEndsTheTakeWithEveryWholeRecordReadable) {
  TempDir dir;
  auto engine = SimEngine("sim:1", dir.path());
  std::string error;
  {
    FileSizeLimit limit(64 * 1024);
    ASSERT_TRUE(engine->StartRecording(&error)) << error;
    ASSERT_TRUE(WaitForTakeEnd(*engine));
  }
  TakeOutcome outcome = engine->LastTake();
  EXPECT_EQ(outcome.end, TakeEnd::WriteFailed);
  EXPECT_NE(outcome.message.find("PCL1.dat"), std::string::npos) << outcome.message;
  size_t trailing = 1;
  auto records = ReadRecordCounts(dir.File("PCL1.dat"), &trailing);
  EXPECT_GT(records.size(), 2u);
  EXPECT_EQ(trailing, 0u);
  EXPECT_EQ(ReadTimeStampLines(dir.File("TS1.txt")).size(), records.size());
}

// Depth frames of the simulated scene as PGM files: camera 1 at 320 x 240,
// camera 2 at 640 x 480 (each pixel doubled).
void WriteReplayFrames(const std::string& dir, int frames) {
  SimulatedScene scene;
  for (int camera = 0; camera < 2; ++camera) {
    std::string folder = dir + "/cam" + std::to_string(camera + 1);
    std::filesystem::create_directories(folder);
    SimCameraPose pose = PoseFromSetting(DefaultCameraSetting(camera));
    for (int n = 0; n < frames; ++n) {
      std::vector<std::uint16_t> depth = scene.RenderStatic(pose);
      std::vector<std::uint8_t> label(kDefaultDepthPixels);
      scene.RenderMoving(pose, n / 30.0, depth.data(), label.data());
      int scale = camera == 0 ? 1 : 2;
      std::vector<std::uint16_t> image(kDefaultDepthPixels * scale * scale);
      for (int row = 0; row < kDefaultDepthHeight * scale; ++row)
        for (int column = 0; column < kDefaultDepthWidth * scale; ++column)
          image[row * kDefaultDepthWidth * scale + column] = depth[(row / scale) * kDefaultDepthWidth + column / scale];
      char name[32];
      std::snprintf(name, sizeof name, "/frame%03d.pgm", n);
      std::string error;
      ASSERT_TRUE(WriteDepthPgm(folder + name, image, kDefaultDepthWidth * scale, kDefaultDepthHeight * scale, &error));
    }
  }
}

TEST(EngineTake, ReplayDeliversEveryFrameOnceAndTakesAreByteIdentical) {
  TempDir frames, takeA, takeB;
  WriteReplayFrames(frames.path(), 5);
  for (const TempDir* take : {&takeA, &takeB}) {
    CRecorder engine(std::make_unique<ReplayBackend>(frames.path(), 0));
    EXPECT_TRUE(engine.HasSensor(0));
    EXPECT_TRUE(engine.HasSensor(1));
    EXPECT_FALSE(engine.HasSensor(2));
    EnableCameras(engine, {1, 1, 0, 0});
    engine.SetOutputDir(take->path());
    std::this_thread::sleep_for(50ms);  // a slow start loses nothing either
    std::string error;
    ASSERT_TRUE(engine.StartRecording(&error)) << error;
    ASSERT_TRUE(WaitForTakeEnd(engine));
    EXPECT_EQ(engine.LastTake().end, TakeEnd::InputEnded) << engine.LastTake().message;
    EXPECT_EQ(engine.LastTake().cycles, 5);
  }
  for (const char* name : {"PCL1.dat", "TS1.txt", "PCL2.dat", "TS2.txt"}) {
    std::string a = ReadFile(takeA.File(name));
    EXPECT_GT(a.size(), 10u) << name;
    EXPECT_EQ(a, ReadFile(takeB.File(name))) << name;
  }
  auto lines = ReadTimeStampLines(takeA.File("TS2.txt"));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0][2], 0);
  EXPECT_EQ(lines[1][2], 33);
  EXPECT_EQ(lines[4][2], 133);
  // Camera 2's 640 x 480 frames play at their size, through the default
  // lens's field of view (no intrinsics.txt beside them), and the take says so.
  EXPECT_EQ(ReadRecordCounts(takeA.File("PCL2.dat")).size(), 5u);
  EXPECT_EQ(ReadFile(takeA.File("LENS.txt")),
            "# Kestrova lens 1: camera N width W height H fx FX fy FY cx CX cy CY (pixels)\r\n"
            "camera 1 width 320 height 240 fx 285.63266694292446 fy 285.63266694292446 cx 160 cy 120\r\n"
            "camera 2 width 640 height 480 fx 571.2653338858489 fy 571.2653338858489 cx 320 cy 240\r\n");
  std::string paramsA = ReadFile(takeA.File("RECPARAM.txt"));
  std::string paramsB = ReadFile(takeB.File("RECPARAM.txt"));
  EXPECT_EQ(paramsA.substr(paramsA.find("\r\n")), paramsB.substr(paramsB.find("\r\n")));
}

TEST(DepthPgm, BadFilesAreRefusedWithAReason) {
  TempDir dir;
  std::vector<std::uint16_t> pixels;
  std::string error;
  int width = 0, height = 0;
  EXPECT_FALSE(ReadDepthPgm(dir.File("absent.pgm"), pixels, &width, &height, &error));
  WriteFile(dir.File("text.pgm"), "P2\n320 240\n65535\n1 2 3");
  EXPECT_FALSE(ReadDepthPgm(dir.File("text.pgm"), pixels, &width, &height, &error));
  WriteFile(dir.File("size.pgm"), "P5\n700 100\n65535\n" + std::string(140000, '\0'));
  EXPECT_FALSE(ReadDepthPgm(dir.File("size.pgm"), pixels, &width, &height, &error));
  EXPECT_NE(error.find("700 x 100"), std::string::npos);
  // Any size up to 640 x 480 is taken as it is.
  WriteFile(dir.File("small.pgm"), "P5\n3 2\n65535\n" + std::string("\x00\x01\x00\x02\x00\x03\x1f\xff\x20\x00\x00\x00", 12));
  ASSERT_TRUE(ReadDepthPgm(dir.File("small.pgm"), pixels, &width, &height, &error)) << error;
  EXPECT_EQ(width, 3);
  EXPECT_EQ(height, 2);
  EXPECT_EQ(pixels, (std::vector<std::uint16_t>{1 << 3, 2 << 3, 3 << 3, 8191 << 3, 0, 0}));
  WriteFile(dir.File("short.pgm"), "P5\n320 240\n65535\n" + std::string(1000, '\0'));
  EXPECT_FALSE(ReadDepthPgm(dir.File("short.pgm"), pixels, &width, &height, &error));
  EXPECT_NE(error.find("ends inside"), std::string::npos);
  // Millimetres need 16 bits: 8-bit samples are refused, as in a PNG.
  WriteFile(dir.File("byte.pgm"), "P5\n320 240\n255\n" + std::string(kDefaultDepthPixels, '\x07'));
  EXPECT_FALSE(ReadDepthPgm(dir.File("byte.pgm"), pixels, &width, &height, &error));
  EXPECT_NE(error.find("an 8-bit PGM"), std::string::npos) << error;
  // A comment in the header is fine; depth beyond 8191 mm reads as no reading.
  WriteFile(dir.File("comment.pgm"), "P5\n# depth\n320 240\n65535\n" + std::string(2 * kDefaultDepthPixels, '\x07'));
  ASSERT_TRUE(ReadDepthPgm(dir.File("comment.pgm"), pixels, &width, &height, &error)) << error;
  EXPECT_EQ(pixels[0], 0x0707 << 3);
  std::vector<std::uint16_t> far(kDefaultDepthPixels, 9000);
  far[1] = 8191;
  ASSERT_TRUE(WriteDepthPgm(dir.File("far.pgm"), far, kDefaultDepthWidth, kDefaultDepthHeight, &error));
  ASSERT_TRUE(ReadDepthPgm(dir.File("far.pgm"), pixels, &width, &height, &error));
  EXPECT_EQ(pixels[0], 0);
  EXPECT_EQ(pixels[1], 8191 << 3);
}

}  // namespace
}  // namespace kestrova
