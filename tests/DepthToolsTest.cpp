// Takes with depth frames through the command-line tools, as a user runs
// them: recorded by kestrova-record --keep-depth, processed again by
// kestrova-take reprocess, exported as images and replayed as cameras.
#include <gtest/gtest.h>

#include <filesystem>

#include "capture/DepthPgm.h"
#include "capture/DepthPng.h"
#include "settings/ParamsFile.h"
#include "record/DepthFrameFile.h"
#include "tests/support/Commands.h"
#include "tests/support/TempDir.h"

namespace kestrova {
namespace {

using testing::CommandRun;
using testing::ReadFile;
using testing::RunTool;
using testing::TempDir;
using testing::WriteFile;

CommandRun Record(const std::string& arguments) { return RunTool(KESTROVA_RECORD, arguments); }
CommandRun Take(const std::string& arguments) { return RunTool(KESTROVA_TAKE, arguments); }

// Four cameras; with `moved`, camera 2 posed otherwise and a shorter box.
std::string FourCameraParams(bool moved) {
  OperatorSettings settings;
  for (int i = 0; i < kCameraCount; ++i) settings.cameraEnabled[i] = 1;
  CameraSettings cameras;
  for (int i = 0; i < kCameraCount; ++i) cameras[i] = DefaultCameraSetting(i);
  if (moved) {
    cameras[1].x += 4;
    cameras[1].ry += 5;
    settings.zMax = settings.zMax * 0.9f;
  }
  return FormatParams(settings, cameras, "Mon Dec 07 00:00:42 2026");
}

void ExpectSameFiles(const TempDir& a, const TempDir& b, bool timeStamps) {
  for (int n = 1; n <= kCameraCount; ++n) {
    std::vector<std::string> names = {"PCL" + std::to_string(n) + ".dat"};
    if (timeStamps) names.push_back("TS" + std::to_string(n) + ".txt");
    for (const std::string& name : names) {
      const std::string original = ReadFile(a.File(name));
      EXPECT_GT(original.size(), 200u) << name;
      EXPECT_TRUE(original == ReadFile(b.File(name))) << name << " differs";
    }
  }
}

class DepthTools : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    take_ = new TempDir;
    WriteFile(take_->File("four.txt"), FourCameraParams(false));
    WriteFile(take_->File("moved.txt"), FourCameraParams(true));
    const CommandRun run = Record("--sensors sim --fps 0 --params " + take_->File("four.txt") +
                                  " --out " + take_->path() + " --frames 40 --keep-depth");
    ASSERT_EQ(run.status, 0) << run.output;
  }
  static void TearDownTestSuite() { delete take_; }
  static TempDir* take_;
};
TempDir* DepthTools::take_ = nullptr;

TEST_F(DepthTools, ATakeProcessedAgainWithItsOwnSettingsIsByteIdentical) {
  for (int n = 1; n <= kCameraCount; ++n)
    EXPECT_TRUE(std::filesystem::exists(take_->File("DEPTH" + std::to_string(n) + ".dat")));
  TempDir out;
  const CommandRun run = Take("reprocess " + take_->path() + " --to " + out.path());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("processed 160 frames of 4 cameras"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("100% (160 of 160 frames)"), std::string::npos) << run.output;
  ExpectSameFiles(*take_, out, true);
  EXPECT_EQ(ReadFile(out.File("RECPARAM.txt")), ReadFile(take_->File("RECPARAM.txt")));
}

TEST_F(DepthTools, ReplayingATakeRecordsTheSameTake) {
  TempDir again;
  const CommandRun run = Record("--sensors replay:" + take_->path() + " --fps 0 --params " +
                                take_->File("RECPARAM.txt") + " --out " + again.path() + " --seconds 60");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("recorded 40 cycles"), std::string::npos) << run.output;
  ExpectSameFiles(*take_, again, true);
}

TEST_F(DepthTools, OtherSettingsGiveWhatTheLivePipelineGivesOnTheSameFrames) {
  TempDir live, reprocessed;
  CommandRun run = Record("--sensors replay:" + take_->path() + " --fps 0 --params " +
                          take_->File("moved.txt") + " --out " + live.path() + " --seconds 60");
  ASSERT_EQ(run.status, 0) << run.output;
  run = Take("reprocess " + take_->path() + " --to " + reprocessed.path() + " --params " +
             take_->File("moved.txt"));
  ASSERT_EQ(run.status, 0) << run.output;
  ExpectSameFiles(live, reprocessed, true);
  EXPECT_NE(ReadFile(reprocessed.File("PCL2.dat")), ReadFile(take_->File("PCL2.dat")));
  EXPECT_EQ(ReadFile(reprocessed.File("TS2.txt")), ReadFile(take_->File("TS2.txt")));
}

TEST_F(DepthTools, ExportedDepthFramesReadBackAsTheSameDepthAndReplayAsTheTake) {
  TempDir png, pgm;
  CommandRun run = Take("export " + take_->path() + " --depth --to " + png.path());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("exported 160 depth frames of 4 cameras"), std::string::npos) << run.output;
  run = Take("export " + take_->path() + " --depth --depth-format pgm --to " + pgm.path());
  ASSERT_EQ(run.status, 0) << run.output;

  DepthFrameReader reader;
  ReadFault fault;
  ASSERT_TRUE(reader.Open(take_->File("DEPTH3.dat"), "DEPTH3.dat", &fault)) << fault.Text();
  DepthFrameRecord record;
  int frames = 0;
  std::vector<std::uint16_t> fromPng, fromPgm;
  while (reader.Next(&record, &fault)) {
    char name[32];
    std::snprintf(name, sizeof name, "/cam3/frame%06d.", record.frame);
    std::string error;
    ASSERT_TRUE(ReadDepthPng(png.path() + name + "png", fromPng, &error)) << error;
    ASSERT_TRUE(ReadDepthPgm(pgm.path() + name + "pgm", fromPgm, &error)) << error;
    // Millimetres: the sensor pixel without its three low bits.
    for (std::uint16_t& pixel : record.pixels) pixel &= 0xFFF8;
    EXPECT_TRUE(fromPng == record.pixels) << name;
    EXPECT_TRUE(fromPgm == record.pixels) << name;
    ++frames;
  }
  EXPECT_EQ(frames, 40);

  // The conversion reads millimetres only, so the replayed folders give the
  // take's clouds again (their time stamps are the folder's own).
  TempDir again;
  run = Record("--sensors replay:" + png.path() + " --fps 0 --params " + take_->File("RECPARAM.txt") +
               " --out " + again.path() + " --seconds 60");
  ASSERT_EQ(run.status, 0) << run.output;
  ExpectSameFiles(*take_, again, false);
}

TEST_F(DepthTools, InfoAndVerifyKnowTheDepthFiles) {
  CommandRun run = Take("info " + take_->path());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("depth frames 40 in DEPTH4.dat"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("times smaller than raw"), std::string::npos) << run.output;
  run = Take("info " + take_->path() + " --json");
  EXPECT_NE(run.output.find("\"depthFrames\": 40, \"depthBytes\": "), std::string::npos) << run.output;
  run = Take("verify " + take_->path());
  EXPECT_EQ(run.status, 0) << run.output;

  // A copy whose DEPTH2.dat lost the end of its last frame, and whose
  // DEPTH3.dat holds one frame of another take: both found, with where.
  TempDir broken;
  for (const auto& entry : std::filesystem::directory_iterator(take_->path()))
    std::filesystem::copy_file(entry.path(), broken.File(entry.path().filename().string()));
  const auto size = std::filesystem::file_size(broken.File("DEPTH2.dat"));
  std::filesystem::resize_file(broken.File("DEPTH2.dat"), size - 50);
  DepthFrameEncoder encoder;
  std::vector<char> record;
  std::string error;
  const std::vector<std::uint16_t> zeros(320 * 240, 0);
  ASSERT_TRUE(encoder.Encode(5, 0, zeros.data(), 320, 240, &record, &error)) << error;
  WriteFile(broken.File("DEPTH3.dat"), DepthFileHeaderBytes(320, 240) + std::string(record.begin(), record.end()));
  run = Take("verify " + broken.path());
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("DEPTH2.dat: record 39 at byte "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("DEPTH3.dat: record 0 at byte 16: frame 5 stamp 0, but line 0 of TS3.txt has frame 0"), std::string::npos)
      << run.output;
}

TEST_F(DepthTools, ReprocessSaysWhatItCannotDo) {
  TempDir plain;
  CommandRun run = Record("--sensors sim:1 --fps 0 --out " + plain.path() + " --frames 3");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_FALSE(std::filesystem::exists(plain.File("DEPTH1.dat")));
  TempDir out;
  run = Take("reprocess " + plain.path() + " --to " + out.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("holds no depth frames"), std::string::npos) << run.output;
  run = Take("reprocess " + take_->path() + " --to " + take_->path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("is the take itself"), std::string::npos) << run.output;
  WriteFile(out.File("PCL1.dat"), "a take's");
  run = Take("reprocess " + take_->path() + " --to " + out.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("already holds a take (PCL1.dat;"), std::string::npos) << run.output;
  EXPECT_EQ(ReadFile(out.File("PCL1.dat")), "a take's");
  run = Take("reprocess " + take_->path() + " --to " + out.path() + " --replace");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadFile(out.File("PCL1.dat")), ReadFile(take_->File("PCL1.dat")));
  run = Take("reprocess " + take_->path());
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("needs --to OUT"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace kestrova
