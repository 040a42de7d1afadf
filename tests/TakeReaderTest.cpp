// The take readers on hostile files: they allocate by the format (a record
// of at most a frame's pixels, a line of a few dozen bytes), open only
// regular files, keep memory bounded under an address-space limit, and
// scan with one system call per buffer rather than per record.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "record/TakeCheck.h"
#include "record/TakeFrames.h"
#include "record/TakeReader.h"
#include "tests/support/TempDir.h"

namespace kestrova {
namespace {

using testing::TempDir;
using testing::WriteFile;

std::string Count(std::uint32_t n) {
  return std::string{char(n & 0xFF), char((n >> 8) & 0xFF), char((n >> 16) & 0xFF), char(n >> 24)};
}

// A take of camera 1 alone: RECPARAM.txt enabling it, and the two files.
void WriteCameraOne(const TempDir& dir, const std::string& lines, const std::string& records) {
  WriteFile(dir.File("RECPARAM.txt"),
            "TIME: Mon Dec 07 00:00:42 2026\r\n \r\nCAL: 0.001200 \r\nCAM: 1 0 0 0 \r\n"
            "ROI: -29 26 -41 -4 -22 13 \r\nRESOLUTION: 100 \r\n"
            "CAM1: 3 0 -70 17 -2 -2 255 255 0 15 \r\nCAM2: 78.5 1 -4.5 16 -90 0 0 255 0 15 \r\n"
            "CAM3: -85.5 1 -9.5 14.5 90 0 0 255 255 15 \r\nCAM4: -5 0 65.5 15 179 1 0 0 255 15 \r\n");
  WriteFile(dir.File("TS1.txt"), lines);
  WriteFile(dir.File("PCL1.dat"), records);
}

long ReadSyscalls() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long value = 0;
  while (io >> key >> value)
    if (key == "syscr:") return value;
  return -1;
}

long AddressSpaceInUse() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmSize:") {
      long kb = 0;
      status >> kb;
      return kb * 1024;
    }
  }
  return 0;
}

// Runs `work` in a child process whose address space may grow by
// `headroom` bytes (0: no limit); true when it returned true (no allocation
// failed) within `seconds`. A child that hangs is killed.
bool RunsInChild(const std::function<bool()>& work, long headroom, int seconds) {
  const pid_t child = fork();
  if (child == 0) {
    if (headroom > 0) {
      struct rlimit limit;
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(AddressSpaceInUse() + headroom);
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
    }
    try {
      _exit(work() ? 0 : 1);
    } catch (...) {
      _exit(2);
    }
  }
  int status = -1;
  pid_t ended = 0;
  for (int i = 0; i < seconds * 20 && (ended = waitpid(child, &status, WNOHANG)) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (ended == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PointStreamReader, ARecordOfMorePointsThanAFrameHasPixelsIsAFaultAtItsOffset) {
  TempDir dir;
  // Record 0: a full frame of the largest size, 640 x 480 (307 200 points);
  // record 1 at byte 3686404 claims one more.
  const std::string full = Count(307200) + std::string(12 * 307200, '\0');
  WriteFile(dir.File("PCL1.dat"), full + Count(307201) + std::string(12 * 307201, '\0'));
  PointStreamReader reader;
  ReadFault fault;
  ASSERT_TRUE(reader.Open(dir.File("PCL1.dat"), "PCL1.dat", &fault));
  std::vector<float> xyz;
  ASSERT_TRUE(reader.Next(&xyz, &fault));
  EXPECT_EQ(xyz.size(), 3u * 307200);
  EXPECT_FALSE(reader.Next(&xyz, &fault));
  ASSERT_TRUE(fault.any);
  EXPECT_EQ(fault.Text(),
            "PCL1.dat: record 1 at byte 3686404: point count 307201 is more than a frame has pixels (307200)");
}

TEST(PointStreamReader, SkippingEmptyRecordsReadsABufferAtATime) {
  TempDir dir;
  // 1 000 000 empty records (a count of 0 each): 4 MB of zeros.
  WriteFile(dir.File("PCL1.dat"), "");
  std::filesystem::resize_file(dir.File("PCL1.dat"), 4000000);
  PointStreamReader reader;
  ReadFault fault;
  ASSERT_TRUE(reader.Open(dir.File("PCL1.dat"), "PCL1.dat", &fault));
  const long before = ReadSyscalls();
  std::uint32_t count;
  long records = 0;
  while (reader.Skip(&count, &fault)) ++records;
  const long reads = ReadSyscalls() - before;
  EXPECT_FALSE(fault.any) << fault.Text();
  EXPECT_EQ(records, 1000000);
  EXPECT_LT(reads, 1000) << "read calls for 4 MB of records";
}

TEST(TimeStampReader, ReadsLineByLineAndStopsAtTheFirstBadLine) {
  TempDir dir;
  WriteFile(dir.File("TS1.txt"), "0 0 53211 \r\n1 0 53244\n3 -1 -2147483643 \r\n2 0 1 \r\n");
  TimeStampReader reader;
  ReadFault fault;
  ASSERT_TRUE(reader.Open(dir.File("TS1.txt"), "TS1.txt", &fault));
  TimeStampLine line;
  ASSERT_TRUE(reader.Next(&line, &fault));
  EXPECT_EQ(line.Stamp(), 53211);
  ASSERT_TRUE(reader.Next(&line, &fault));
  EXPECT_EQ(line.offset, 12u);
  ASSERT_TRUE(reader.Next(&line, &fault));
  EXPECT_EQ(line.Stamp(), -4294967296LL + 2147483653LL);  // high -1, low read as unsigned
  EXPECT_FALSE(reader.Next(&line, &fault));
  EXPECT_EQ(fault.Text(), "TS1.txt: line 3 at byte 41: frame number 2 does not rise after 3");

  WriteFile(dir.File("TS2.txt"), "0 0 1 \r\n" + std::string(100, '7') + "\r\n");
  ASSERT_TRUE(reader.Open(dir.File("TS2.txt"), "TS2.txt", &fault));
  ASSERT_TRUE(reader.Next(&line, &fault));
  EXPECT_FALSE(reader.Next(&line, &fault));
  EXPECT_EQ(fault.Text(), "TS2.txt: line 1 at byte 8: a line longer than 64 bytes: not a line of three whole numbers");
}

TEST(TakeFiles, OnlyRegularFilesAreOpened) {
  TempDir dir;
  WriteCameraOne(dir, "0 0 1 \r\n", Count(0));
  std::filesystem::remove(dir.File("TS1.txt"));
  ASSERT_EQ(::mkfifo(dir.File("TS1.txt").c_str(), 0600), 0);  // no writer will ever come
  std::filesystem::remove(dir.File("PCL1.dat"));
  std::filesystem::create_symlink("/dev/zero", dir.File("PCL1.dat"));
  // Reading a FIFO would wait for ever: run in a child, bounded.
  EXPECT_TRUE(RunsInChild(
      [&] {
        const auto faults = ExamineTake(dir.path()).AllFaults();
        return faults.size() == 2 && faults[0].Text() == "TS1.txt: byte 0: not a regular file" &&
               faults[1].Text() == "PCL1.dat: byte 0: not a regular file";
      },
      0, 10));
}

constexpr long kHeadroom = 32L << 20;  // 32 MB, the README's bound with room for the test itself

TEST(TakeFiles, MemoryStaysBoundedWhateverTheFilesHold) {
  TempDir dir;
  // A sparse 2 GB TS1.txt of zeros and a record claiming 50 million points.
  WriteCameraOne(dir, "", Count(50000000));
  std::filesystem::resize_file(dir.File("TS1.txt"), 2000000000);
  std::filesystem::resize_file(dir.File("PCL1.dat"), 600000004);
  EXPECT_TRUE(RunsInChild([&] {
    TakeReport report = ExamineTake(dir.path());
    return report.AllFaults().size() == 2;
  }, kHeadroom, 60));

  // A long, well-formed take: a million lines (14 MB) and a million records.
  TempDir big;
  std::string lines;
  lines.reserve(15000000);
  char line[64];
  for (int i = 0; i < 1000000; ++i) {
    std::snprintf(line, sizeof line, "%d 0 %d \r\n", i, 1000 + 33 * i);
    lines += line;
  }
  WriteCameraOne(big, lines, "");
  lines = std::string();
  std::filesystem::resize_file(big.File("PCL1.dat"), 4000000);
  EXPECT_TRUE(RunsInChild([&] {
    TakeReport report = ExamineTake(big.path());
    if (!report.Sound() || report.cameraReports.at(0).records != 1000000) return false;
    TakeFrames frames;
    std::string error;
    TakeFrame frame;
    ReadFault fault;
    return frames.Open(big.path(), &error) && frames.FrameCount() == 1000000 &&
           frames.Read(999999, &frame, &fault) && frame.number == 999999 &&
           frame.stamp[0] == 1000 + 33LL * 999999 && frames.Read(5, &frame, &fault) && frame.number == 5;
  }, kHeadroom, 60));
}

TEST(TakeFrames, ReadsAnyFrameInAnyOrderAcrossCheckpoints) {
  TempDir dir;
  // Camera 1 has every frame 0..2999 with (frame % 5) points; camera 2 every third.
  std::string ts1, ts2, pcl1, pcl2;
  char line[64];
  for (int f = 0; f < 3000; ++f) {
    std::snprintf(line, sizeof line, "%d 0 %d \r\n", f, 10 * f);
    ts1 += line;
    const int n = f % 5;
    pcl1 += Count(n);
    for (int p = 0; p < n; ++p) {
      const float xyz[3] = {static_cast<float>(f), static_cast<float>(p), 0.5f};
      pcl1.append(reinterpret_cast<const char*>(xyz), 12);
    }
    if (f % 3 == 0) {
      ts2 += line;
      pcl2 += Count(0);
    }
  }
  WriteCameraOne(dir, ts1, pcl1);
  std::string params = testing::ReadFile(dir.File("RECPARAM.txt"));
  params.replace(params.find("CAM: 1 0"), 8, "CAM: 1 1");
  WriteFile(dir.File("RECPARAM.txt"), params);
  WriteFile(dir.File("TS2.txt"), ts2);
  WriteFile(dir.File("PCL2.dat"), pcl2);

  TakeFrames frames;
  std::string error;
  ASSERT_TRUE(frames.Open(dir.path(), &error)) << error;
  EXPECT_EQ(frames.FrameCount(), 3000u);
  EXPECT_TRUE(frames.Stops().empty());
  TakeFrame frame;
  ReadFault fault;
  for (size_t position : {2999u, 1u, 1024u, 2048u, 2047u, 2048u, 0u}) {
    ASSERT_TRUE(frames.Read(position, &frame, &fault)) << fault.Text();
    EXPECT_EQ(frame.number, static_cast<std::int64_t>(position));
    ASSERT_TRUE(frame.has[0]);
    EXPECT_EQ(frame.has[1], position % 3 == 0);
    ASSERT_EQ(frame.xyz[0].size(), 3 * (position % 5));
    if (position % 5 > 1) {
      EXPECT_EQ(frame.xyz[0][3], static_cast<float>(position));
      EXPECT_EQ(frame.xyz[0][4], 1.0f);
    }
  }
  EXPECT_EQ(frames.FindFrame(2500, &fault), 2500u);
  EXPECT_EQ(frames.FindFrame(5000, &fault), 3000u);
}

TEST(TakeParams, AnUnreadableSnapshotIsAFaultAndKeepsEveryCameraWithFiles) {
  TempDir dir;
  WriteCameraOne(dir, "0 0 1 \r\n", Count(0));
  WriteFile(dir.File("TS3.txt"), "0 0 1 \r\n");
  WriteFile(dir.File("PCL3.dat"), Count(0));
  for (const std::string& snapshot : {std::string(), std::string("\x1b[2J\0garbage\r\n", 14)}) {
    WriteFile(dir.File("RECPARAM.txt"), snapshot);
    TakeReport report = ExamineTake(dir.path());
    EXPECT_FALSE(report.Sound());
    EXPECT_FALSE(report.hasParams);
    ASSERT_EQ(report.faults.size(), 1u);
    EXPECT_EQ(report.faults[0].file, "RECPARAM.txt");
    ASSERT_EQ(report.cameraReports.size(), 2u);
    EXPECT_TRUE(report.cameraReports[0].inTake);
    EXPECT_TRUE(report.cameraReports[1].inTake);  // not taken for an older take's camera
  }
}

}  // namespace
}  // namespace kestrova
