// Takes with depth frames through the command-line tools, as a user runs
// them: recorded by kestrova-record --keep-depth, processed again by
// kestrova-take reprocess, exported as images and replayed as cameras.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "capture/DepthPgm.h"
#include "capture/DepthPng.h"
#include "settings/ParamsFile.h"
#include "record/DepthFrameFile.h"
#include "tests/support/Commands.h"
#include "tests/support/TempDir.h"

namespace kestrova {
namespace {

namespace fs = std::filesystem;
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
    int width = 0, height = 0;
    ASSERT_TRUE(ReadDepthPng(png.path() + name + "png", fromPng, &width, &height, &error)) << error;
    ASSERT_TRUE(ReadDepthPgm(pgm.path() + name + "pgm", fromPgm, &width, &height, &error)) << error;
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


// --- hostile depth files: every tool refuses what verify rejects

// A copy of a take, for changing.
void CopyTake(const TempDir& from, const TempDir& to) {
  for (const auto& entry : fs::directory_iterator(from.path())) {
    const std::string name = entry.path().filename().string();
    if (name != "four.txt" && name != "moved.txt") fs::copy_file(entry.path(), to.File(name));
  }
}

// Where each record of a depth file starts, and the file's size last.
std::vector<std::uint64_t> RecordStarts(const std::string& path) {
  DepthFrameReader reader;
  ReadFault fault;
  std::vector<std::uint64_t> starts;
  if (!reader.Open(path, "DEPTH.dat", &fault)) return starts;
  DepthFrameRecord record;
  do starts.push_back(reader.Offset());
  while (reader.Skip(&record, &fault));
  return starts;
}

std::string FileCount(const std::string& dir) {
  size_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) count += entry.is_regular_file();
  return std::to_string(count);
}

TEST_F(DepthTools, EveryToolRefusesDepthFilesThatVerifyRejectsAndNamesWhere) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&, const std::vector<std::uint64_t>&)> change;
    std::string where;  // in verify's and the tools' messages
    int framesKept;     // of camera 1 when the tools keep the whole frames before a cut tail; -1: refused
  } cases[] = {
      {"a duplicated record",
       [](const TempDir& take, const std::vector<std::uint64_t>& at) {
         const std::string bytes = ReadFile(take.File("DEPTH1.dat"));
         WriteFile(take.File("DEPTH1.dat"), bytes.substr(0, at[6]) + bytes.substr(at[5], at[6] - at[5]) +
                                                 bytes.substr(at[6]));
       },
       "DEPTH1.dat: record 6 at byte ", -1},
      {"frame numbers shifted by one",
       [](const TempDir& take, const std::vector<std::uint64_t>& at) {
         std::string bytes = ReadFile(take.File("DEPTH1.dat"));
         for (size_t i = 0; i + 1 < at.size(); ++i) bytes[at[i]] = static_cast<char>(bytes[at[i]] + 1);
         WriteFile(take.File("DEPTH1.dat"), bytes);
       },
       "DEPTH1.dat: record 0 at byte 16: frame 1 stamp ", -1},
      {"a frame more than the lines",
       [](const TempDir& take, const std::vector<std::uint64_t>& at) {
         std::string bytes = ReadFile(take.File("DEPTH1.dat"));
         std::string last = bytes.substr(at[39], at[40] - at[39]);
         last[0] = 40;
         WriteFile(take.File("DEPTH1.dat"), bytes + last);
       },
       "DEPTH1.dat: record 40 at byte ", -1},
      {"damaged pixels",
       [](const TempDir& take, const std::vector<std::uint64_t>& at) {
         std::string bytes = ReadFile(take.File("DEPTH1.dat"));
         bytes[at[10] + 16 + 200] ^= 0x5A;
         WriteFile(take.File("DEPTH1.dat"), bytes);
       },
       "DEPTH1.dat: record 10 at byte ", -1},
      {"cut at a record boundary",
       [](const TempDir& take, const std::vector<std::uint64_t>& at) {
         fs::resize_file(take.File("DEPTH1.dat"), at[37]);
       },
       "DEPTH1.dat: record 37 at byte ", 37},
      {"cut inside a record",
       [](const TempDir& take, const std::vector<std::uint64_t>& at) {
         fs::resize_file(take.File("DEPTH1.dat"), at[40] - 50);
       },
       "DEPTH1.dat: record 39 at byte ", 39},
      {"a zero-filled tail of 64 MB",
       [](const TempDir& take, const std::vector<std::uint64_t>& at) {
         fs::resize_file(take.File("DEPTH1.dat"), at[40] + (64u << 20));
       },
       "DEPTH1.dat: record 40 at byte ", 40},
  };
  const std::vector<std::uint64_t> starts = RecordStarts(take_->File("DEPTH1.dat"));
  ASSERT_EQ(starts.size(), 41u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir take, out;
    CopyTake(*take_, take);
    c.change(take, starts);
    // Every tool fails and names where; reprocess and export write into
    // folders that do not exist yet, made only when they keep whole frames.
    const std::string again = out.File("again"), depth = out.File("depth");
    const std::string kept = std::to_string(c.framesKept + 120);  // and 40 of each other camera
    const struct {
      std::string command, folder, said;
    } tools[] = {{"verify " + take.path(), "", ""},
                 {"reprocess " + take.path() + " --to " + again, again, "processed " + kept + " frames"},
                 {"export " + take.path() + " --depth --to " + depth, depth, "exported " + kept + " depth frames"}};
    for (const auto& tool : tools) {
      const CommandRun run = Take(tool.command);
      EXPECT_EQ(run.status, 1) << tool.command << "\n" << run.output;
      EXPECT_NE(run.output.find(c.where), std::string::npos) << tool.command << "\n" << run.output;
      if (tool.folder.empty()) continue;
      EXPECT_EQ(fs::exists(tool.folder), c.framesKept >= 0) << tool.command << "\n" << run.output;
      if (c.framesKept >= 0) {
        EXPECT_NE(run.output.find(tool.said), std::string::npos) << run.output;
      }
    }
    if (c.framesKept < 0) continue;
    // A file per frame, and each camera's intrinsics in two forms.
    EXPECT_EQ(FileCount(depth), std::to_string(c.framesKept + 120 + 4 * 2));
    const CommandRun sound = Take("verify " + again);
    EXPECT_EQ(sound.status, 0) << sound.output;
    EXPECT_NE(sound.output.find("sound: 4 cameras, " + kept + " records"), std::string::npos) << sound.output;
  }
}

// --- an interrupted reprocess leaves no take

TEST_F(DepthTools, AnInterruptedReprocessLeavesNoTakeAndARunAfterItIsNotRefused) {
  struct Case {
    int signal;
    bool outExists;
  } cases[] = {{SIGTERM, false}, {SIGHUP, true}, {SIGKILL, false}, {SIGKILL, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE("signal " + std::to_string(c.signal) + (c.outExists ? ", into an existing folder" : ""));
    TempDir base;
    const std::string out = base.File("out");
    if (c.outExists) fs::create_directory(out);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    testing::Child child(KESTROVA_TAKE, {"reprocess", take_->path(), "--to", out}, fds[1]);
    close(fds[1]);
    ASSERT_TRUE(child.Spawned());
    std::string seen;
    // The first progress line comes after the first frame.
    ASSERT_TRUE(testing::ReadUntil(fds[0], "%", &seen)) << seen;
    child.Signal(c.signal);
    ASSERT_TRUE(child.Ends());
    testing::ReadUntil(fds[0], "(the end)", &seen, std::chrono::seconds(2));  // the rest of the output
    close(fds[0]);
    EXPECT_NE(child.Status(), 0) << seen;
    if (c.signal != SIGKILL) {
      EXPECT_NE(seen.find("stopped by SIG"), std::string::npos) << seen;
    }
    if (c.outExists) {
      for (const auto& entry : fs::directory_iterator(out))
        EXPECT_EQ(entry.path().filename().string()[0], '.') << entry.path() << " in " << seen;
    } else {
      EXPECT_FALSE(fs::exists(out)) << seen;
    }
    const CommandRun again = Take("reprocess " + take_->path() + " --to " + out);
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(Take("verify " + out).status, 0);
    const auto entries = std::distance(fs::directory_iterator(c.outExists ? out : base.path()), fs::directory_iterator());
    // The take's files (RECPARAM.txt, LENS.txt, VERSION.txt, PCLn.dat and TSn.txt of four cameras) alone.
    EXPECT_EQ(entries, c.outExists ? 11 : 1) << "a staging folder was left behind";
  }
}

}  // namespace
}  // namespace kestrova
