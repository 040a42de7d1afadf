// Takes that keep their depth frames: DEPTHn.dat written by the take
// writer under the take files' rules, and takes processed again from it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "capture/ReplaySensor.h"
#include "capture/SensorChoice.h"
#include "core/Recorder.h"
#include "record/DepthFrameFile.h"
#include "core/TakeReprocess.h"
#include "record/TakeWriter.h"
#include "settings/Version.h"
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
using Cloud = pcl::PointCloud<pcl::PointXYZ>;

const TakeWriter::SnapshotWriter kSnapshot = [](const std::string& path, std::string* error) {
  return WriteFileAtomically(path, "snapshot", error);
};

// A frame whose pixels all differ, low bits included.
std::vector<std::uint16_t> Frame(unsigned seed, int pixelCount = kDefaultDepthPixels) {
  std::vector<std::uint16_t> pixels(pixelCount);
  for (size_t k = 0; k < pixels.size(); ++k)
    pixels[k] = static_cast<std::uint16_t>((k * 7919 + seed * 104729) & 0xFFFF);
  return pixels;
}

std::vector<DepthFrameRecord> ReadDepthFile(const std::string& path, ReadFault* fault) {
  DepthFrameReader reader;
  std::vector<DepthFrameRecord> records;
  if (!reader.Open(path, "DEPTH.dat", fault)) return records;
  DepthFrameRecord record;
  while (reader.Next(&record, fault)) records.push_back(record);
  return records;
}

// Camera 2 of this take delivers 640 x 480 frames through a lens of its own.
const DepthFrameFormat kLargeFrames = PackedFormat(640, 480, {575.8157348632812, 574.5, 319.5, 239.5});

TEST(KeptDepth, TheWriterKeepsEveryFrameWithItsNumberStampSizeAndLensExactly) {
  TempDir dir;
  TakeWriter writer;
  writer.SetKeepDepth(true);
  writer.SetFrameFormats({DepthFrameFormat(), kLargeFrames, DepthFrameFormat(), DepthFrameFormat()});
  std::string error;
  ASSERT_TRUE(writer.Open(dir.path(), {true, true, false, false}, kSnapshot, &error)) << error;
  const std::vector<std::uint16_t> a = Frame(1, 640 * 480), b = Frame(2, 640 * 480), c = Frame(3);
  const DepthFrameView pixelsA{a.data(), kLargeFrames}, pixelsB{b.data(), kLargeFrames};
  const DepthFrameView pixelsC{c.data(), DepthFrameFormat()};
  const std::int64_t bigStamp = (5LL << 32) + 0x89ABCDEF;
  ASSERT_TRUE(writer.Append(1, 0, 33, Cloud(), &pixelsA));
  ASSERT_TRUE(writer.Append(0, 0, 30, Cloud(), &pixelsC));
  ASSERT_TRUE(writer.Append(1, 2, bigStamp, Cloud(), &pixelsB));
  ASSERT_TRUE(writer.Close(&error)) << error;

  // Every camera's size and lens, each number as it reads back exactly.
  EXPECT_EQ(ReadFile(dir.File("LENS.txt")),
            "# Kestrova lens 1: camera N width W height H fx FX fy FY cx CX cy CY (pixels)\r\n"
            "camera 1 width 320 height 240 fx 285.63266694292446 fy 285.63266694292446 cx 160 cy 120\r\n"
            "camera 2 width 640 height 480 fx 575.8157348632812 fy 574.5 cx 319.5 cy 239.5\r\n");
  EXPECT_EQ(ReadFile(dir.File("DEPTH1.dat")).substr(0, 16),
            std::string("KVADEPTH\x01\x00\x40\x01\xF0\x00\x01\x00", 16));  // 320 = 0x140, 240 = 0xF0
  const std::string bytes = ReadFile(dir.File("DEPTH2.dat"));
  ASSERT_GT(bytes.size(), 32u);
  // "KVADEPTH", version 1, 640 (0x280), 480 (0x1E0), codec 1.
  EXPECT_EQ(bytes.substr(0, 16), std::string("KVADEPTH\x01\x00\x80\x02\xE0\x01\x01\x00", 16));
  // The first record: frame 0, stamp 33.
  EXPECT_EQ(bytes.substr(16, 12), std::string("\x00\x00\x00\x00\x21\x00\x00\x00\x00\x00\x00\x00", 12));
  ReadFault fault;
  std::vector<DepthFrameRecord> records = ReadDepthFile(dir.File("DEPTH2.dat"), &fault);
  EXPECT_FALSE(fault.any) << fault.Text();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].frame, 0);
  EXPECT_EQ(records[0].stamp, 33);
  EXPECT_EQ(records[0].pixels, a);
  EXPECT_EQ(records[1].frame, 2);
  EXPECT_EQ(records[1].stamp, bigStamp);
  EXPECT_EQ(records[1].pixels, b);
  // The same cycles as the other files hold.
  EXPECT_EQ(ReadTimeStampLines(dir.File("TS2.txt")).size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(dir.File("DEPTH3.dat")));
}

TEST(KeptDepth, AFrameThatCannotBeKeptLeavesEveryFileAtTheLastWholeCycle) {
  TempDir dir;
  std::string error;
  const std::vector<std::uint16_t> a = Frame(3);
  const DepthFrameView whole{a.data(), DepthFrameFormat()};
  // Frames the take's LENS.txt does not describe: another size, another lens.
  const DepthFrameView wrongSize{a.data(), ScaledDefaultFormat(160, 120)};
  const DepthFrameView wrongLens{a.data(), PackedFormat(320, 240, {300, 300, 160, 120})};
  Cloud one;
  one.push_back({1, 2, 3});
  for (const auto& [wrong, said] : {std::pair<const DepthFrameView*, const char*>{&wrongSize, "160 x 120"},
                                    {&wrongLens, "through another lens"}}) {
    TakeWriter writer;
    writer.SetKeepDepth(true);
    ASSERT_TRUE(writer.Open(dir.path(), {true, false, false, false}, kSnapshot, &error)) << error;
    ASSERT_TRUE(writer.Append(0, 0, 0, one, &whole));
    const std::string depthBefore = ReadFile(dir.File("DEPTH1.dat"));
    EXPECT_FALSE(writer.Append(0, 1, 33, one, wrong));
    EXPECT_FALSE(writer.Append(0, 2, 66, one, &whole));  // stays failed
    EXPECT_TRUE(writer.Failed());
    EXPECT_NE(writer.FailureMessage().find(said), std::string::npos) << writer.FailureMessage();
    ASSERT_TRUE(writer.Close(&error)) << error;
    EXPECT_EQ(ReadFile(dir.File("DEPTH1.dat")), depthBefore);
    EXPECT_EQ(ReadTimeStampLines(dir.File("TS1.txt")).size(), 1u);
    EXPECT_EQ(ReadRecordCounts(dir.File("PCL1.dat")).size(), 1u);
  }
}

TEST(KeptDepth, WithoutDepthFramesATakeHasNoDepthFileAndAnOlderOneGoes) {
  TempDir dir;
  WriteFile(dir.File("DEPTH1.dat"), "an older take's frames");
  WriteFile(dir.File("DEPTH3.dat"), "an older take's frames");
  TakeWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(dir.path(), {true, false, false, false}, kSnapshot, &error)) << error;
  EXPECT_TRUE(writer.Append(0, 0, 0, Cloud()));  // no frame needed
  ASSERT_TRUE(writer.Close(&error)) << error;
  EXPECT_FALSE(std::filesystem::exists(dir.File("DEPTH1.dat")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("DEPTH3.dat")));
}

TEST(KeptDepth, ARefusedTakeLeavesNoDepthFileItCreatedAndAnOlderOneWhole) {
  TempDir dir;
  WriteFile(dir.File("DEPTH2.dat"), "an older take's frames");
  TakeWriter writer;
  writer.SetKeepDepth(true);
  const TakeWriter::SnapshotWriter refuse = [](const std::string&, std::string* error) {
    *error = "no room";
    return false;
  };
  std::string error;
  EXPECT_FALSE(writer.Open(dir.path(), {true, true, false, false}, refuse, &error));
  EXPECT_FALSE(std::filesystem::exists(dir.File("DEPTH1.dat")));
  EXPECT_EQ(ReadFile(dir.File("DEPTH2.dat")), "an older take's frames");
}

// A bounded wait: a take that does not end fails the test instead of hanging it.
bool WaitForTakeEnd(const CRecorder& engine) {
  const auto giveUp = std::chrono::steady_clock::now() + 60s;
  while (engine.TakeThreadAlive() && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(5ms);
  return !engine.TakeThreadAlive();
}

// A take of simulated cameras 1 and 3, recorded by the engine.
void RecordSimTake(const std::string& dir, bool keepDepth, int cycles) {
  std::string error;
  auto backend = MakeSensorBackend("sim:4", 0, &error);
  ASSERT_NE(backend, nullptr) << error;
  CRecorder engine(std::move(backend));
  engine.owner->Modify([](OperatorSettings& s) {
    s.cameraEnabled[0] = 1;
    s.cameraEnabled[2] = 1;
  });
  engine.SetOutputDir(dir);
  engine.SetKeepDepth(keepDepth);
  engine.SetTakeCycleLimit(cycles);
  ASSERT_TRUE(engine.StartRecording(&error)) << error;
  ASSERT_TRUE(WaitForTakeEnd(engine));
  ASSERT_EQ(engine.LastTake().end, TakeEnd::CycleLimit) << engine.LastTake().message;
}

class KeptDepthTake : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    take_ = new TempDir;
    RecordSimTake(take_->path(), true, 20);
  }
  static void TearDownTestSuite() { delete take_; }
  static TempDir* take_;
};
TempDir* KeptDepthTake::take_ = nullptr;

TEST_F(KeptDepthTake, EveryDepthFramePairsWithTheCamerasLine) {
  for (int n : {1, 3}) {
    const auto lines = ReadTimeStampLines(take_->File("TS" + std::to_string(n) + ".txt"));
    ReadFault fault;
    const auto frames = ReadDepthFile(take_->File("DEPTH" + std::to_string(n) + ".dat"), &fault);
    EXPECT_FALSE(fault.any) << fault.Text();
    ASSERT_EQ(lines.size(), 20u);
    ASSERT_EQ(frames.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(frames[i].frame, lines[i][0]);
      EXPECT_EQ(frames[i].stamp, lines[i][1] * 4294967296LL + static_cast<std::uint32_t>(lines[i][2]));
    }
  }
  EXPECT_FALSE(std::filesystem::exists(take_->File("DEPTH2.dat")));
}

TEST_F(KeptDepthTake, ProcessedAgainWithItsOwnSettingsItIsTheSameTakeByteForByte) {
  TempDir out;
  ReprocessResult result;
  std::string error;
  size_t lastDone = 0, lastTotal = 0;
  ASSERT_TRUE(ReprocessTake({take_->path(), out.path(), ""}, &result, &error,
                            [&](size_t done, size_t total) { lastDone = done, lastTotal = total; }))
      << error;
  EXPECT_EQ(result.cameras, 2);
  EXPECT_EQ(result.frames, 40);
  EXPECT_EQ(lastDone, 40u);
  EXPECT_EQ(lastTotal, 40u);
  for (const char* name : {"PCL1.dat", "TS1.txt", "PCL3.dat", "TS3.txt", "RECPARAM.txt"}) {
    const std::string original = ReadFile(take_->File(name));
    EXPECT_GT(original.size(), 100u) << name;
    EXPECT_EQ(ReadFile(out.File(name)), original) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(out.File("DEPTH1.dat")));
}

TEST_F(KeptDepthTake, OtherSettingsChangeTheCloudsButNotTheTimeStamps) {
  TempDir out;
  std::string params = ReadFile(take_->File("RECPARAM.txt"));
  const size_t cam1 = params.find("CAM1: ");
  ASSERT_NE(cam1, std::string::npos);
  // Camera 1 moved 10 cm along x, camera 3 switched off.
  params.replace(cam1, params.find("\r\n", cam1) - cam1, "CAM1: 10 0 0 0 0 0 255 0 0 15.000000 ");
  params.replace(params.find("CAM: 1 0 1 0 "), 13, "CAM: 1 0 0 0 ");
  WriteFile(out.File("other.txt"), params);
  ReprocessResult result;
  std::string error;
  ASSERT_TRUE(ReprocessTake({take_->path(), out.path(), out.File("other.txt")}, &result, &error)) << error;
  EXPECT_EQ(result.cameras, 1);
  EXPECT_EQ(ReadFile(out.File("RECPARAM.txt")), params);
  EXPECT_EQ(ReadFile(out.File("TS1.txt")), ReadFile(take_->File("TS1.txt")));
  EXPECT_NE(ReadFile(out.File("PCL1.dat")), ReadFile(take_->File("PCL1.dat")));
  EXPECT_FALSE(std::filesystem::exists(out.File("PCL3.dat")));
}

// A reprocessed take names the build that made it and keeps the version that
// recorded its frames, through any number of reprocessings; an original
// without a readable VERSION.txt gives "unknown".
TEST_F(KeptDepthTake, AReprocessedTakeNamesItsWriterAndKeepsItsRecorder) {
  const std::string header = "# Kestrova version file 1\r\n";
  EXPECT_EQ(ReadFile(take_->File("VERSION.txt")), header + "WRITTEN: " + ProgramVersion() + "\r\n");
  struct Case {
    const char* what;
    const char* original;  // VERSION.txt of the original; null: none
    const char* recorded;  // the RECORDED: value of the reprocessed take
  } cases[] = {
      {"a recorded take", "WRITTEN: 0.0.9+git7.gabc1234\r\n", "0.0.9+git7.gabc1234"},
      {"a reprocessed take", "WRITTEN: 0.0.10\nRECORDED: 0.0.8\n", "0.0.8"},
      {"a take from before versions", nullptr, "unknown"},
      {"a damaged version file", "WRITTEN: 0.0.9", "unknown"},
  };
  for (const Case& c : cases) {
    TempDir original, out, again;
    for (const char* name : {"RECPARAM.txt", "DEPTH1.dat"}) WriteFile(original.File(name), ReadFile(take_->File(name)));
    if (c.original) WriteFile(original.File("VERSION.txt"), c.original);
    ReprocessResult result;
    std::string error;
    ASSERT_TRUE(ReprocessTake({original.path(), out.path(), ""}, &result, &error)) << c.what << ": " << error;
    const std::string expected =
        header + "WRITTEN: " + ProgramVersion() + "\r\nRECORDED: " + c.recorded + "\r\n";
    EXPECT_EQ(ReadFile(out.File("VERSION.txt")), expected) << c.what;
    // The reprocessed take's version with the frames again (it keeps no depth frames itself).
    WriteFile(original.File("VERSION.txt"), ReadFile(out.File("VERSION.txt")));
    ASSERT_TRUE(ReprocessTake({original.path(), again.path(), ""}, &result, &error)) << c.what << ": " << error;
    EXPECT_EQ(ReadFile(again.File("VERSION.txt")), expected) << c.what << ", reprocessed twice";
  }
}

TEST_F(KeptDepthTake, ACutTailIsProcessedUpToItsLastWholeFrame) {
  TempDir cut, out;
  for (const char* name : {"RECPARAM.txt", "DEPTH1.dat"})
    WriteFile(cut.File(name), ReadFile(take_->File(name)));
  const auto size = std::filesystem::file_size(cut.File("DEPTH1.dat"));
  std::filesystem::resize_file(cut.File("DEPTH1.dat"), size - 100);  // into the last frame
  ReprocessResult result;
  std::string error;
  ASSERT_TRUE(ReprocessTake({cut.path(), out.path(), ""}, &result, &error)) << error;
  EXPECT_EQ(result.frames, 19);
  ASSERT_EQ(result.stops.size(), 1u);
  EXPECT_EQ(result.stops[0].item, 19);
  EXPECT_EQ(ReadTimeStampLines(out.File("TS1.txt")).size(), 19u);
}

TEST_F(KeptDepthTake, AReplayedTakeCutShortPlaysItsWholeFramesThenSaysWhere) {
  TempDir cut, out;
  WriteFile(cut.File("DEPTH3.dat"), ReadFile(take_->File("DEPTH3.dat")));
  const auto size = std::filesystem::file_size(cut.File("DEPTH3.dat"));
  std::filesystem::resize_file(cut.File("DEPTH3.dat"), size - 100);
  CRecorder engine(std::make_unique<ReplayBackend>(cut.path(), 0));
  EXPECT_FALSE(engine.HasSensor(0));
  ASSERT_TRUE(engine.HasSensor(2));
  engine.owner->Modify([](OperatorSettings& s) {
    s.cameraEnabled[0] = 0;
    s.cameraEnabled[2] = 1;
  });
  engine.SetOutputDir(out.path());
  std::string error;
  ASSERT_TRUE(engine.StartRecording(&error)) << error;
  ASSERT_TRUE(WaitForTakeEnd(engine));
  EXPECT_EQ(engine.LastTake().end, TakeEnd::InputFailed);
  EXPECT_NE(engine.LastTake().message.find("DEPTH3.dat: record 19 at byte "), std::string::npos)
      << engine.LastTake().message;
  EXPECT_EQ(engine.LastTake().cycles, 19);
  // Its own time stamps, frame after frame.
  const auto original = ReadTimeStampLines(take_->File("TS3.txt"));
  const auto replayed = ReadTimeStampLines(out.File("TS3.txt"));
  ASSERT_EQ(replayed.size(), 19u);
  for (size_t i = 0; i < replayed.size(); ++i) EXPECT_EQ(replayed[i], original[i]);
}

TEST(KeptDepth, ProcessingAgainRefusesWhatCannotWork) {
  TempDir take, out;
  RecordSimTake(take.path(), false, 3);
  ReprocessResult result;
  std::string error;
  EXPECT_FALSE(ReprocessTake({take.path(), out.path(), ""}, &result, &error));
  EXPECT_NE(error.find("holds no depth frames"), std::string::npos) << error;
  EXPECT_FALSE(ReprocessTake({take.path(), take.path() + "/.", ""}, &result, &error));
  EXPECT_NE(error.find("is the take itself"), std::string::npos) << error;
  // A folder that does not exist is made only for a new take.
  EXPECT_FALSE(ReprocessTake({take.path(), out.File("missing"), ""}, &result, &error));
  EXPECT_FALSE(std::filesystem::exists(out.File("missing")));
  EXPECT_FALSE(std::filesystem::exists(out.File("RECPARAM.txt")));
}

}  // namespace
}  // namespace kestrova
