// kestrova-record against injected faults, run as a user would: signals
// from the terminal and from a reader that goes away, replays cut short by
// a bad frame, and cameras lost during a take. Every wait is bounded.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "capture/DepthPgm.h"
#include "capture/NuiSensor.h"
#include "tests/support/Commands.h"
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

std::string Params(const TempDir& dir, const std::string& cameras) {
  std::string path = dir.File("params.txt");
  WriteFile(path, "TIME: x\r\n \r\nCAL: 0.001250 \r\nCAM: " + cameras + " \r\n");
  return path;
}

testing::CommandRun RunTool(const std::string& arguments, const std::string& prefix = "") {
  return testing::RunCommand(prefix + "'" KESTROVA_RECORD "' " + arguments);
}

// Lines and records of camera n agree and end on a whole record; the lines.
std::vector<std::array<long long, 3>> WholeCamera(const TempDir& dir, int n) {
  auto lines = ReadTimeStampLines(dir.File("TS" + std::to_string(n) + ".txt"));
  size_t trailing = 1;
  auto records = ReadRecordCounts(dir.File("PCL" + std::to_string(n) + ".dat"), &trailing);
  EXPECT_EQ(records.size(), lines.size()) << "camera " << n;
  EXPECT_EQ(trailing, 0u) << "camera " << n;
  return lines;
}

long long Stamp(const std::array<long long, 3>& line) {
  return line[1] * (1LL << 32) + (line[2] & 0xFFFFFFFFLL);
}

// kestrova-record as a child process; its output goes to `outputFd`.
class Child : public testing::Child {
 public:
  Child(const std::vector<std::string>& arguments, int outputFd)
      : testing::Child(KESTROVA_RECORD, arguments, outputFd) {}
};

bool WaitForLines(const std::string& path, size_t lines) {
  const auto giveUp = std::chrono::steady_clock::now() + 30s;
  while (ReadTimeStampLines(path).size() < lines) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// --- signals

TEST(RecordSignals, AReaderOfTheProgressThatGoesAwayDoesNotTouchTheTake) {
  TempDir dir;
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);  // the child holds only the write end
  Child child({"--sensors", "sim:1", "--fps", "30", "--out", dir.path(), "--frames", "60"}, fds[1]);
  close(fds[1]);
  ASSERT_TRUE(child.Spawned());
  char first = 0;
  ASSERT_EQ(read(fds[0], &first, 1), 1);  // as `| head -c 1` does
  close(fds[0]);
  ASSERT_TRUE(child.Ends()) << "the tool did not end";
  EXPECT_EQ(child.Status(), 0);
  EXPECT_EQ(WholeCamera(dir, 1).size(), 60u);
}

TEST(RecordSignals, HangUpAndTermEndTheTakeCleanlyAndAreNamed) {
  for (int signal : {SIGHUP, SIGTERM}) {
    TempDir dir;
    const std::string log = dir.File("log.txt");
    int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(logFd, 0);
    Child child({"--sensors", "sim:2", "--params", Params(dir, "1 1 0 0"), "--out", dir.path(),
                 "--seconds", "60"},
                logFd);
    close(logFd);
    ASSERT_TRUE(child.Spawned());
    ASSERT_TRUE(WaitForLines(dir.File("TS2.txt"), 5));
    child.Signal(signal);
    ASSERT_TRUE(child.Ends()) << "the tool did not end after signal " << signal;
    EXPECT_EQ(child.Status(), 0) << ReadFile(log);
    const std::string name = signal == SIGHUP ? "stopped by SIGHUP" : "stopped by SIGTERM";
    EXPECT_NE(ReadFile(log).find(name), std::string::npos) << ReadFile(log);
    const size_t cycles = WholeCamera(dir, 1).size();
    EXPECT_GE(cycles, 5u);
    // Camera 2's files end whole too, with a line for every cycle (a camera
    // held up on a busy machine may have missed one).
    const size_t second = WholeCamera(dir, 2).size();
    EXPECT_TRUE(second == cycles || second + 1 == cycles) << second << " of " << cycles;
  }
}

// --- replays cut short

// Ten frames of a flat wall 1 m away in DIR/replay/cam1; frame `bad` (none
// when -1) holds `content` instead, or, when that is empty, only its first half.
std::string ReplayWithABadFrame(const TempDir& dir, int bad, const std::string& content) {
  const std::string frames = dir.File("replay/cam1");
  std::filesystem::create_directories(frames);
  std::vector<std::uint16_t> depth(kDepthWidth * kDepthHeight, 1000);
  for (int i = 0; i < 10; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame%02d.pgm", i);
    std::string error;
    EXPECT_TRUE(WriteDepthPgm(frames + name, depth, kDepthWidth, kDepthHeight, &error)) << error;
    if (i == bad) {
      std::string whole = ReadFile(frames + name);
      WriteFile(frames + name, content.empty() ? whole.substr(0, whole.size() / 2) : content);
    }
  }
  return dir.File("replay");
}

TEST(BadReplay, AnUnreadableFrameIsAFailureNamingItAndTheFramesBeforeStay) {
  struct Case {
    int bad;
    std::string content;  // empty: the frame cut in half
  } cases[] = {{5, "P5 garbage"}, {0, ""},
                // Millimetres need 16 bits: an 8-bit image is not a depth frame.
                {3, "P5\n320 240\n255\n" + std::string(320 * 240, '\x40')}};
  for (const Case& c : cases) {
    TempDir dir;
    const std::string replay = ReplayWithABadFrame(dir, c.bad, c.content);
    auto run = RunTool("--sensors replay:" + replay + " --fps 0 --out " + dir.path() + " --frames 100");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("frame0" + std::to_string(c.bad) + ".pgm"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("recorded " + std::to_string(c.bad) + " cycles"), std::string::npos)
        << run.output;
    EXPECT_EQ(WholeCamera(dir, 1).size(), static_cast<size_t>(c.bad));
  }
}

TEST(BadReplay, OnlyRegularFilesAreReplayedAndAnythingElseIsNamed) {
  // A take of two cameras with depth frames, whose DEPTH1.dat is then replaced.
  TempDir take;
  ASSERT_EQ(RunTool("--sensors sim:2 --fps 0 --params " + Params(take, "1 1 0 0") + " --out " +
                    take.path() + " --frames 5 --keep-depth").status, 0);
  struct Case {
    const char* name;
    std::function<std::string(const TempDir&)> make;  // the replay folder
    std::string named;
  } cases[] = {
      {"a FIFO named like a frame",
       [](const TempDir& dir) {
         const std::string replay = ReplayWithABadFrame(dir, -1, "");
         std::filesystem::remove(replay + "/cam1/frame05.pgm");
         mkfifo((replay + "/cam1/frame05.pgm").c_str(), 0644);
         return replay;
       },
       "frame05.pgm"},
      {"a folder named like a frame",
       [](const TempDir& dir) {
         const std::string replay = ReplayWithABadFrame(dir, -1, "");
         std::filesystem::create_directory(replay + "/cam1/frame10.png");
         return replay;
       },
       "frame10.png"},
      {"a FIFO as DEPTH1.dat",
       [&take](const TempDir& dir) {
         std::filesystem::copy_file(take.File("DEPTH2.dat"), dir.File("DEPTH2.dat"));
         mkfifo(dir.File("DEPTH1.dat").c_str(), 0644);
         return dir.path();
       },
       "DEPTH1.dat"},
      {"a folder as DEPTH1.dat",
       [&take](const TempDir& dir) {
         std::filesystem::copy_file(take.File("DEPTH2.dat"), dir.File("DEPTH2.dat"));
         std::filesystem::create_directory(dir.File("DEPTH1.dat"));
         return dir.path();
       },
       "DEPTH1.dat"},
      {"a device as DEPTH1.dat",
       [&take](const TempDir& dir) {
         std::filesystem::copy_file(take.File("DEPTH2.dat"), dir.File("DEPTH2.dat"));
         std::filesystem::create_symlink("/dev/zero", dir.File("DEPTH1.dat"));
         return dir.path();
       },
       "DEPTH1.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir, out;
    const std::string replay = c.make(dir);
    // Bounded: a replay that waited on the FIFO would be killed here.
    auto run = RunTool("--sensors replay:" + replay + " --fps 0 --params " + Params(out, "1 1 0 0") +
                           " --out " + out.path() + " --frames 100",
                       "timeout -s KILL 60 ");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(c.named + ": not a regular file"), std::string::npos) << run.output;
  }
}

TEST(BadReplay, AReplayEndsByItselfAfterItsLastFrame) {
  TempDir dir;
  const std::string replay = ReplayWithABadFrame(dir, -1, "");
  auto run = RunTool("--sensors replay:" + replay + " --fps 0 --out " + dir.path());
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("recorded 10 cycles of camera 1 into " + dir.path() + " (the replayed frames of camera 1 ran out)"),
            std::string::npos) << run.output;
  EXPECT_EQ(WholeCamera(dir, 1).size(), 10u);
  // Sensors that do not end by themselves still need a limit.
  run = RunTool("--sensors sim:1 --fps 0 --out " + dir.path() + " --replace");
  EXPECT_EQ(run.status, 2) << run.output;
}

// A take whose camera 1 was silent for seconds, replayed paced by its own
// stamps: camera 2 paces the cycles meanwhile, camera 1 comes back at the
// frame number it came back at in the take, and the replay records the
// same take again (before, the replay ended as a failure when camera 1's
// gap passed two seconds, or paired its later frames with the wrong cycles).
TEST(BadReplay, AReplayedCameraSilentForSecondsComesBackInItsOwnCycles) {
  TempDir take, again;
  auto run = RunTool("--sensors sim:2,stall=1@10,resume=1@75 --params " + Params(take, "1 1 0 0") +
                     " --out " + take.path() + " --seconds 3.5 --keep-depth");
  ASSERT_EQ(run.status, 3) << run.output;
  ASSERT_LT(WholeCamera(take, 1).size(), WholeCamera(take, 2).size());
  run = RunTool("--sensors replay:" + take.path() + " --params " + take.File("RECPARAM.txt") + " --out " +
                again.path());
  EXPECT_EQ(run.status, 3) << run.output;
  EXPECT_NE(run.output.find("(the replayed frames of camera"), std::string::npos) << run.output;
  for (const char* name : {"TS1.txt", "PCL1.dat", "TS2.txt", "PCL2.dat"})
    EXPECT_EQ(testing::ReadFile(again.File(name)), testing::ReadFile(take.File(name))) << name;
}

// --- cameras lost during a take

TEST(LostCameraTool, UnpluggedCameraExitsThreeAndTheOthersLoseNoFrame) {
  TempDir dir;
  auto run = RunTool("--sensors sim:3,unplug=2@20 --fps 10 --params " + Params(dir, "1 1 1 0") +
                     " --out " + dir.path() + " --frames 40");
  EXPECT_EQ(run.status, 3) << run.output;
  const auto second = WholeCamera(dir, 2);
  ASSERT_FALSE(second.empty());
  const std::string lostAt = std::to_string(second.back()[0] + 1);
  EXPECT_NE(run.output.find("camera 2 lost at frame " + lostAt), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("recorded, but camera 2 was lost at frame " + lostAt), std::string::npos)
      << run.output;
  for (int n : {1, 3}) {
    const auto lines = WholeCamera(dir, n);
    ASSERT_EQ(lines.size(), 40u) << "camera " << n;
    // One sensor frame (100 ms) after the other: none dropped. The first
    // frames of a take may still be ones that waited since the sensor opened.
    for (size_t i = 3; i < lines.size(); ++i)
      EXPECT_EQ(Stamp(lines[i]) - Stamp(lines[i - 1]), 100) << "camera " << n << " frame " << i;
  }
}

TEST(LostCameraTool, AllCamerasLostEndsTheTakeAsAFailureSayingWhichOnce) {
  TempDir dir;
  auto run = RunTool("--sensors sim:1,stall=1@10 --fps 0 --out " + dir.path() + " --frames 1000");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_TRUE(std::regex_search(run.output, std::regex("\\(camera 1 stopped delivering frames\\)\n")))
      << run.output;
  EXPECT_EQ(run.output.find("stopped delivering frames: "), std::string::npos) << run.output;
}

TEST(LostCameraTool, FreeRunningSensorsPaceATakeWithoutCameraOne) {
  TempDir dir;
  auto run = RunTool("--sensors sim:2 --fps 0 --params " + Params(dir, "0 1 0 0") + " --out " +
                     dir.path() + " --frames 40");
  EXPECT_EQ(run.status, 0) << run.output;
  const auto lines = WholeCamera(dir, 2);
  ASSERT_EQ(lines.size(), 40u);
  // The sensor's own clock: one nominal frame period (1000 / 30 ms) per frame.
  for (size_t i = 1; i < lines.size(); ++i) {
    const long long step = Stamp(lines[i]) - Stamp(lines[i - 1]);
    EXPECT_TRUE(step == 33 || step == 34) << "frame " << i << ": " << step;
  }
}

TEST(LostCameraTool, CycleCountAfterAWriteFaultIsWhatTheFilesHold) {
  TempDir dir;
  // A 1 MiB file-size limit stands for a disk that fills up.
  auto run = RunTool("--sensors sim:2 --fps 0 --params " + Params(dir, "1 1 0 0") + " --out " +
                         dir.path() + " --frames 100000",
                     "ulimit -f 1024; ");
  EXPECT_EQ(run.status, 1) << run.output;
  const size_t held = std::max(WholeCamera(dir, 1).size(), WholeCamera(dir, 2).size());
  EXPECT_NE(run.output.find("recorded " + std::to_string(held) + " cycles"), std::string::npos)
      << run.output;
}

}  // namespace
}  // namespace kestrova
