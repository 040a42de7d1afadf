// kestrova-record as a user runs it: a take of 300 frames from four
// simulated cameras, its errors, Ctrl-C and a full disk.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "tests/support/Commands.h"
#include "tests/support/TakeFiles.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::ReadRecordCounts;
using testing::ReadTimeStampLines;
using testing::TempDir;
using testing::WriteFile;

using testing::CommandRun;

// Runs the tool through the shell with `arguments`, stdout and stderr together.
CommandRun RunTool(const std::string& arguments, const std::string& prefix = "") {
  return testing::RunCommand(prefix + "'" KESTROVA_RECORD "' " + arguments);
}

std::string AllCamerasParams(const TempDir& dir) {
  std::string path = dir.File("params.txt");
  WriteFile(path, "TIME: x\r\n \r\nCAL: 0.001200 \r\nCAM: 1 1 1 1 \r\n");
  return path;
}

// The camera's lines and records pair up and end whole, numbered by cycle
// below `cycles`; a simulated camera held up past the latency budget on a
// busy machine may miss a cycle now and then (at most three in a hundred;
// a camera that loses frames loses far more).
void ExpectWholeTake(const TempDir& dir, int camera, size_t cycles) {
  std::string n = std::to_string(camera);
  auto lines = ReadTimeStampLines(dir.File("TS" + n + ".txt"));
  size_t trailing = 1;
  auto records = ReadRecordCounts(dir.File("PCL" + n + ".dat"), &trailing);
  EXPECT_LE(lines.size(), cycles) << "camera " << camera;
  EXPECT_GE(lines.size() + 1 + 3 * cycles / 100, cycles) << "camera " << camera;
  EXPECT_EQ(records.size(), lines.size()) << "camera " << camera;
  EXPECT_EQ(trailing, 0u) << "camera " << camera;
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_LT(lines[i][0], static_cast<long long>(cycles));
    if (i > 0) ASSERT_GT(lines[i][0], lines[i - 1][0]);
  }
}

TEST(RecordTool, ThreeHundredFramesFromFourSimulatedCameras) {
  TempDir dir;
  CommandRun run = RunTool("--sensors sim --frames 300 --params " + AllCamerasParams(dir) + " --out " +
                    dir.path());
  ASSERT_EQ(run.status, 0) << run.output;
  for (int camera = 1; camera <= 4; ++camera) ExpectWholeTake(dir, camera, 300);
  EXPECT_NE(run.output.find("recorded 300 cycles"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("cycles/s"), std::string::npos) << run.output;  // progress was shown
}

TEST(RecordTool, HelpListsEveryOption) {
  CommandRun run = RunTool("--help");
  EXPECT_EQ(run.status, 0);
  for (const char* option : {"--sensors", "--fps", "--params", "--out", "--replace", "--frames", "--seconds"})
    EXPECT_NE(run.output.find(option), std::string::npos) << option;
}

TEST(RecordTool, ErrorsExitNonZeroWithOneLineReason) {
  TempDir dir;
  struct Case {
    std::string arguments, reason;
    int status;
  } cases[] = {
      {"--bogus", "unknown option", 2},
      {"--out " + dir.path(), "--frames", 2},
      {"--out " + dir.path() + " --frames 3 --seconds 2", "either", 2},
      {"--out " + dir.path() + " --frames -4", "--frames", 2},
      {"--sensors kinect --out " + dir.path() + " --frames 3", "kinect", 2},
      {"--sensors sim:2,bogus=1 --out " + dir.path() + " --frames 3", "unknown simulation option 'bogus=1'", 2},
      {"--sensors sim:9 --out " + dir.path() + " --frames 3", "sensor count must be 0 to 4", 2},
      {"--sensors replay: --out " + dir.path() + " --frames 3", "replay:DIR", 2},
      {"--sensors freenect --out " + dir.path() + " --frames 3", "no depth sensor found", 1},
      {"--sensors sim:0 --out " + dir.path() + " --frames 3", "no depth sensor found", 1},
      {"--sensors sim --params " + dir.File("none.txt") + " --out " + dir.path() + " --frames 3", "none.txt", 2},
      {"--sensors sim --out " + dir.File("missing") + " --frames 3", dir.File("missing"), 1},
      // Like the window, the real cameras unless told otherwise; none is connected here.
      {"--out " + dir.path() + " --frames 3", "no depth sensor found", 1},
      {"--out " + dir.path() + " --frames 3", "start it with --sensors sim", 1},
  };
  for (const Case& c : cases) {
    CommandRun run = RunTool(c.arguments);
    EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.output;
    EXPECT_NE(run.output.find(c.reason), std::string::npos) << c.arguments << "\n" << run.output;
    EXPECT_NE(run.output.find("kestrova-record: "), std::string::npos) << run.output;
  }
}

TEST(RecordTool, ATakeIsReplacedOnlyWithReplace) {
  TempDir dir;
  ASSERT_EQ(RunTool("--sensors sim:1 --fps 0 --frames 5 --out " + dir.path()).status, 0);
  const std::string snapshot = testing::ReadFile(dir.File("RECPARAM.txt"));
  CommandRun refused = RunTool("--sensors sim:1 --fps 0 --frames 3 --out " + dir.path());
  EXPECT_EQ(refused.status, 1) << refused.output;
  EXPECT_NE(refused.output.find("kestrova-record: " + dir.path() + " already holds a take started "),
            std::string::npos)
      << refused.output;
  EXPECT_NE(refused.output.find("(RECPARAM.txt, LENS.txt, PCL1.dat, TS1.txt; "), std::string::npos) << refused.output;
  EXPECT_NE(refused.output.find("give --replace to record over it"), std::string::npos) << refused.output;
  ExpectWholeTake(dir, 1, 5);
  EXPECT_EQ(testing::ReadFile(dir.File("RECPARAM.txt")), snapshot);

  CommandRun replaced = RunTool("--sensors sim:1 --fps 0 --frames 3 --replace --out " + dir.path());
  EXPECT_EQ(replaced.status, 0) << replaced.output;
  ExpectWholeTake(dir, 1, 3);
}

TEST(RecordTool, ReplaceRemovesEveryFileOfTheOlderTakeAndSaysWhich) {
  TempDir dir;
  ASSERT_EQ(RunTool("--sensors sim --fps 0 --frames 3 --keep-depth --params " + AllCamerasParams(dir) +
                    " --out " + dir.path()).status, 0);
  // Two cameras of the four, without depth frames: nothing of the older take may stay.
  CommandRun replaced = RunTool("--sensors sim:2 --fps 0 --frames 4 --replace --params " +
                                AllCamerasParams(dir) + " --out " + dir.path());
  EXPECT_EQ(replaced.status, 0) << replaced.output;
  EXPECT_NE(replaced.output.find("replaced the take in " + dir.path() +
                                 ": removed DEPTH1.dat, DEPTH2.dat, PCL3.dat, TS3.txt, DEPTH3.dat, "
                                 "PCL4.dat, TS4.txt, DEPTH4.dat\n"),
            std::string::npos) << replaced.output;
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"LENS.txt", "PCL1.dat", "PCL2.dat", "RECPARAM.txt", "TS1.txt",
                                             "TS2.txt", "VERSION.txt", "params.txt"}));
  ExpectWholeTake(dir, 1, 4);
  ExpectWholeTake(dir, 2, 4);
}

TEST(RecordTool, CtrlCEndsTheTakeCleanly) {
  TempDir dir;
  std::string params = AllCamerasParams(dir);
  std::string out = dir.path();
  std::vector<std::string> args = {KESTROVA_RECORD, "--sensors", "sim:2", "--params", params,
                                   "--out", out, "--seconds", "60"};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  // Wait for a few cycles on disk, then interrupt.
  auto giveUp = std::chrono::steady_clock::now() + 30s;
  while (ReadTimeStampLines(dir.File("TS2.txt")).size() < 5 && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(20ms);
  kill(pid, SIGINT);
  int status = 0;
  for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(20ms);
  if (!WIFEXITED(status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the tool did not end after Ctrl-C";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0);
  size_t cycles = ReadTimeStampLines(dir.File("TS1.txt")).size();
  EXPECT_GE(cycles, 5u);
  ExpectWholeTake(dir, 1, cycles);
  ExpectWholeTake(dir, 2, cycles);
}

TEST(RecordTool, FullDiskEndsTheTakeWithAReasonAndWholeRecords) {
  TempDir dir;
  // A 1 MiB file-size limit stands for a disk that fills up.
  CommandRun run = RunTool("--sensors sim:1 --fps 0 --frames 100000 --out " + dir.path(), "ulimit -f 1024; ");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("PCL1.dat"), std::string::npos) << run.output;
  size_t cycles = ReadTimeStampLines(dir.File("TS1.txt")).size();
  EXPECT_GT(cycles, 10u);
  ExpectWholeTake(dir, 1, cycles);
}

}  // namespace
}  // namespace kestrova
