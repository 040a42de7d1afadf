// kestrova-take on small takes written by the engine's own writer: the
// figures of info, the faults verify finds and where, exports read back with
// PCL and with PCL's command-line tools, and playback.
#include <gtest/gtest.h>


#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <sys/stat.h>

#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>

#include "settings/ParamsFile.h"
#include "record/TakeCheck.h"
#include "record/TakeWriter.h"
#include "settings/Version.h"
#include "tests/support/Commands.h"
#include "tests/support/TempDir.h"

namespace kestrova {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using Cloud = pcl::PointCloud<pcl::PointXYZ>;

using testing::CommandRun;
using testing::RunCommand;

CommandRun Take(const std::string& arguments) { return RunCommand("'" KESTROVA_TAKE "' " + arguments); }

Cloud Points(int count, float base) {
  Cloud cloud;
  for (int i = 0; i < count; ++i) cloud.push_back({base + i * 0.002f, -0.01f * i, 0.004f});
  return cloud;
}

// Cameras 1 and 3 with calibration 0.002: camera 1 has frames 0..3 with 2, 3,
// 1 and 2 points, its third time-stamp step two frame periods long; camera 3
// has frames 0 and 2 (frame 1 never came) with 4 points each.
void WriteSmallTake(const std::string& dir) {
  OperatorSettings settings;
  settings.calibration = 0.002f;
  settings.cameraEnabled[2] = 1;
  CameraSettings cameras;
  for (int i = 0; i < kCameraCount; ++i) cameras[i] = DefaultCameraSetting(i);
  cameras[0].r = 300;  // stored beyond 0..255: the low 8 bits (44) colour the points
  TakeWriter writer;
  std::string error;
  auto snapshot = [&](const std::string& path, std::string* why) {
    return WriteFileAtomically(path, FormatParams(settings, cameras, "Mon Dec 07 00:00:42 2026"), why);
  };
  ASSERT_TRUE(writer.Open(dir, {true, false, true, false}, snapshot, &error)) << error;
  const int counts[4] = {2, 3, 1, 2};
  const std::int64_t stamps[4] = {1000, 1033, 1066, 1133};
  for (int frame = 0; frame < 4; ++frame) {
    writer.Append(0, frame, stamps[frame], Points(counts[frame], 0.01f * frame));
    if (frame == 0 || frame == 2) writer.Append(2, frame, 500000 + 33 * frame, Points(4, -0.02f));
  }
  ASSERT_TRUE(writer.Close(&error)) << error;
}

class TakeToolTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteSmallTake(take_.path()); }
  TempDir take_;
};

// Camera 3's clock is 499 s ahead of camera 1's and it missed frame 1;
// camera 1 dropped a sensor frame before frame 3: nothing is made up.
TEST_F(TakeToolTest, TimesPutTheCamerasOnOneClock) {
  CommandRun run = Take("times " + take_.path() + " --csv " + take_.File("times.csv"));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("take time on camera 1's clock (the most frames); camera 3's clock -499000.0 ms "
                            "(no CLOCK.txt"),
            std::string::npos) << run.output;
  EXPECT_NE(run.output.find("4 frames; the mapped times of one cycle's frames lie within 0.0 ms of each other; "
                            "2 cycles lack a camera's frame"),
            std::string::npos) << run.output;
  EXPECT_EQ(ReadFile(take_.File("times.csv")),
            "frame,take_time_ms,cam1_stamp_ms,cam1_since_first_ms,cam3_stamp_ms,cam3_since_first_ms\n"
            "0,0.000,1000,0,500000,0\n"
            "1,33.000,1033,33,,\n"
            "2,66.000,1066,66,500066,66\n"
            "3,133.000,1133,133,,\n");
  CommandRun table = Take("times " + take_.path());
  EXPECT_NE(table.output.find("       1       33.000           1033          33              -           -\n"),
            std::string::npos) << table.output;
  EXPECT_EQ(Take("times " + take_.path() + " --csv").status, 2);

  // With the recorder's clock kept: camera 1's clock runs 0.1 % slow against
  // the host's, camera 3's frames came 0.5 ms after camera 1's.
  WriteFile(take_.File("CLOCK.txt"),
            "# Kestrova clock 1: camera frame stamp_ms host_ms\r\n"
            "1 0 1000 0.000\r\n3 0 500000 0.500\r\n3 2 500066 66.566\r\n1 3 1133 133.133\r\n");
  run = Take("times " + take_.path() + " --csv " + take_.File("times.csv"));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("take time on the recorder's clock (CLOCK.txt)"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("lie within 0.5 ms of each other; 2 cycles lack"), std::string::npos) << run.output;
  EXPECT_EQ(ReadFile(take_.File("times.csv")),
            "frame,take_time_ms,cam1_stamp_ms,cam1_since_first_ms,cam3_stamp_ms,cam3_since_first_ms\n"
            "0,0.000,1000,0,500000,0\n"
            "1,33.033,1033,33,,\n"
            "2,66.066,1066,66,500066,66\n"
            "3,133.133,1133,133,,\n");
  run = Take("info " + take_.path());
  EXPECT_NE(run.output.find("cycles: 4; one cycle's frames lie within 0.5 ms of each other on the recorder's clock "
                            "(CLOCK.txt); 2 lack a camera's frame"),
            std::string::npos) << run.output;
}

TEST_F(TakeToolTest, InfoFiguresMatchTheTake) {
  TakeReport report = ExamineTake(take_.path());
  ASSERT_TRUE(report.Sound()) << report.AllFaults()[0].Text();
  ASSERT_EQ(report.cameraReports.size(), 2u);
  const CameraReport& first = report.cameraReports[0];
  EXPECT_EQ(first.number, 1);
  EXPECT_EQ(first.records, 4);
  EXPECT_EQ(first.pointsMin, 1u);
  EXPECT_EQ(first.pointsMax, 3u);
  EXPECT_DOUBLE_EQ(first.pointsMean, 2.0);
  EXPECT_DOUBLE_EQ(first.durationSeconds, 0.133);
  EXPECT_NEAR(first.frameRate, 3 / 0.133, 1e-9);
  EXPECT_EQ(first.droppedFrames, 1);  // 1066 -> 1133 is two periods of 33 ms
  EXPECT_EQ(first.missingFrames, 0);
  const CameraReport& third = report.cameraReports[1];
  EXPECT_EQ(third.number, 3);
  EXPECT_EQ(third.records, 2);
  EXPECT_EQ(third.missingFrames, 1);
  EXPECT_FLOAT_EQ(report.settings.calibration, 0.002f);

  CommandRun json = Take("info " + take_.path() + " --json");
  EXPECT_EQ(json.status, 0);
  EXPECT_NE(json.output.find("\"number\": 1, \"frames\": 4"), std::string::npos) << json.output;
  EXPECT_NE(json.output.find("\"droppedFrames\": 1, \"missingFrames\": 0"), std::string::npos);
  EXPECT_NE(json.output.find("\"colour\": [44, 255, 0]"), std::string::npos);
  EXPECT_NE(json.output.find("\"sound\": true"), std::string::npos);

  // Files of camera 2 from an older take beside this one.
  WriteFile(take_.File("PCL2.dat"), std::string(4, '\0'));
  WriteFile(take_.File("TS2.txt"), "0 0 5 \r\n");
  CommandRun text = Take("info " + take_.path());
  EXPECT_NE(text.output.find("older take: PCL2.dat"), std::string::npos) << text.output;
  EXPECT_NE(text.output.find("camera 1: 4 frames"), std::string::npos) << text.output;
}

TEST_F(TakeToolTest, VerifyFindsEachFaultAtItsByte) {
  CommandRun sound = Take("verify " + take_.path());
  EXPECT_EQ(sound.status, 0) << sound.output;
  EXPECT_NE(sound.output.find("sound: 2 cameras, 6 records"), std::string::npos) << sound.output;

  // Records of camera 1: 28 bytes at 0, 40 at 28, 16 at 68, 28 at 84 (112 in all).
  std::filesystem::resize_file(take_.File("PCL1.dat"), 107);
  CommandRun cut = Take("verify " + take_.path());
  EXPECT_EQ(cut.status, 1);
  EXPECT_NE(cut.output.find("PCL1.dat: record 3 at byte 84: record cut short"), std::string::npos)
      << cut.output;

  // A coordinate that is not a number: camera 3's second record, point 1, y.
  std::string data = ReadFile(take_.File("PCL3.dat"));
  const float nan = std::nanf("");
  std::memcpy(&data[52 + 4 + 12 + 4], &nan, 4);
  WriteFile(take_.File("PCL3.dat"), data);
  WriteFile(take_.File("TS1.txt"), "0 0 1000 \r\n1 0 1033 \r\nabc\r\n");
  CommandRun faults = Take("verify " + take_.path());
  EXPECT_NE(faults.output.find("PCL3.dat: record 1 at byte 72: coordinate y of point 1 is not finite"),
            std::string::npos)
      << faults.output;
  EXPECT_NE(faults.output.find("TS1.txt: line 2 at byte 22: not a line of three whole numbers"),
            std::string::npos)
      << faults.output;
}

// VERSION.txt is optional and may hold labels of later versions; a damaged
// one is a fault of the take named at its byte. info shows who wrote the take.
TEST_F(TakeToolTest, TheVersionFileIsShownAndCheckedAndMayBeAbsent) {
  EXPECT_EQ(ReadFile(take_.File("VERSION.txt")),
            "# Kestrova version file 1\r\nWRITTEN: " + ProgramVersion() + "\r\n");
  struct Case {
    const char* what;
    const char* file;  // null: no VERSION.txt
    const char* shown;  // the info line, or the fault verify names
    const char* json;
  } cases[] = {
      {"none", nullptr, "  version unknown (no readable VERSION.txt: a take made before takes recorded it)\n",
       "\"version\": null,"},
      {"reprocessed, LF, a later label", "# Kestrova version file 1\nWRITTEN: 0.2\nLENSES: 2\nRECORDED: 0.1+git5.gabcdef0\n",
       "  written by kestrova 0.2 (reprocessed from a take recorded by kestrova 0.1+git5.gabcdef0)\n",
       "\"version\": {\"written\": \"0.2\", \"recorded\": \"0.1+git5.gabcdef0\"},"},
      {"reprocessed from an unknown version", "WRITTEN: 0.2\r\nRECORDED: unknown\r\n",
       "  written by kestrova 0.2 (reprocessed from a take of an unknown version)\n",
       "\"recorded\": \"unknown\"},"},
      {"not printable", "WRITTEN: 0.1\r\nRECORDED: 0.\x01\r\n",
       "VERSION.txt: line 1 at byte 14: a version that is not printable text", "\"version\": null,"},
      {"empty value", "WRITTEN: \r\n", "VERSION.txt: line 0 at byte 0: a version that is not printable text",
       "\"version\": null,"},
      {"no WRITTEN: line", "# Kestrova version file 1\r\n", "VERSION.txt: byte 0: no WRITTEN: line",
       "\"version\": null,"},
      {"cut short", "# Kestrova version file 1\r\nWRITTEN: 0.1", "VERSION.txt: line 1 at byte 27: a line cut short",
       "\"version\": null,"},
  };
  for (const Case& c : cases) {
    std::remove(take_.File("VERSION.txt").c_str());
    if (c.file) WriteFile(take_.File("VERSION.txt"), c.file);
    const bool sound = std::string(c.shown).rfind("VERSION.txt", 0) != 0;
    const CommandRun verify = Take("verify " + take_.path());
    EXPECT_EQ(verify.status, sound ? 0 : 1) << c.what << "\n" << verify.output;
    if (!sound) EXPECT_NE(verify.output.find(c.shown), std::string::npos) << c.what << "\n" << verify.output;
    const CommandRun info = Take("info " + take_.path());
    EXPECT_NE(info.output.find(c.shown), std::string::npos) << c.what << "\n" << info.output;
    const CommandRun json = Take("info " + take_.path() + " --json");
    EXPECT_NE(json.output.find(c.json), std::string::npos) << c.what << "\n" << json.output;
  }
}

TEST_F(TakeToolTest, VerifyNamesUnpairedLinesAndRecords) {
  std::string lines = ReadFile(take_.File("TS3.txt"));
  WriteFile(take_.File("TS3.txt"), lines + "3 0 500099 \r\n");
  CommandRun run = Take("verify " + take_.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("TS3.txt: line 2 at byte "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("no record for this line"), std::string::npos) << run.output;
}

pcl::PointCloud<pcl::PointXYZRGB> LoadBack(const std::string& path) {
  pcl::PointCloud<pcl::PointXYZRGB> cloud;
  int result = path.substr(path.size() - 3) == "ply" ? pcl::io::loadPLYFile(path, cloud)
                                                     : pcl::io::loadPCDFile(path, cloud);
  EXPECT_EQ(result, 0) << path;
  return cloud;
}

TEST_F(TakeToolTest, ExportsPcdAndPlyInCentimetresWithCameraColours) {
  for (const char* format : {"pcd", "ply"}) {
    TempDir out;
    CommandRun run = Take("export " + take_.path() + " --to " + out.path() + " --format " + format);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("exported 4 frames into 6 files"), std::string::npos) << run.output;
    auto cloud = LoadBack(out.File(std::string("frame000001_cam1.") + format));
    ASSERT_EQ(cloud.size(), 3u);
    // x of point 2 of frame 1: 0.01 + 2 * 0.002 = 0.014 PCL units, / 0.002 = 7 cm.
    EXPECT_NEAR(cloud[2].x, 7.0f, 1e-5);
    EXPECT_NEAR(cloud[2].y, -10.0f, 1e-5);
    EXPECT_NEAR(cloud[2].z, 2.0f, 1e-5);
    EXPECT_EQ(cloud[0].r, 44);
    EXPECT_EQ(cloud[0].g, 255);
    EXPECT_EQ(cloud[0].b, 0);
    auto third = LoadBack(out.File(std::string("frame000002_cam3.") + format));
    ASSERT_EQ(third.size(), 4u);
    EXPECT_EQ(third[0].r, 0);
    EXPECT_EQ(third[0].g, 255);
    EXPECT_EQ(third[0].b, 255);
    EXPECT_FALSE(std::filesystem::exists(out.File(std::string("frame000001_cam3.") + format)));
  }
}

TEST_F(TakeToolTest, MergedFramesHoldEveryCameraInItsColourAndPclToolsReadThem) {
  TempDir out;
  CommandRun run = Take("export " + take_.path() + " --to " + out.path() +
                     " --merge --units pcl --frames 0:1");
  ASSERT_EQ(run.status, 0) << run.output;
  auto merged = LoadBack(out.File("frame000000.pcd"));
  ASSERT_EQ(merged.size(), 6u);  // camera 1's two points, then camera 3's four
  EXPECT_EQ(merged[0].r, 44);
  EXPECT_EQ(merged[5].r, 0);
  EXPECT_EQ(merged[5].b, 255);
  EXPECT_FLOAT_EQ(merged[5].x, -0.02f + 3 * 0.002f);  // PCL units kept
  EXPECT_EQ(LoadBack(out.File("frame000001.pcd")).size(), 3u);
  EXPECT_FALSE(std::filesystem::exists(out.File("frame000002.pcd")));

  // PCL's own converter reads the binary file and writes it as text.
  CommandRun convert = RunCommand("pcl_convert_pcd_ascii_binary " + out.File("frame000000.pcd") + " " +
                        out.File("ascii.pcd") + " 0");
  ASSERT_EQ(convert.status, 0) << convert.output;
  std::string ascii = ReadFile(out.File("ascii.pcd"));
  EXPECT_NE(ascii.find("POINTS 6\n"), std::string::npos) << ascii;
  EXPECT_NE(ascii.find("FIELDS x y z rgb camera\n"), std::string::npos) << ascii;
  // Each point's camera number, whatever its colour: the last field of a line.
  std::istringstream lines(ascii.substr(ascii.find("DATA ascii\n") + 11));
  std::string line, cameras;
  while (std::getline(lines, line)) cameras += line.substr(line.rfind(' ') + 1);
  EXPECT_EQ(cameras, "113333");

  TempDir plyOut;
  ASSERT_EQ(Take("export " + take_.path() + " --to " + plyOut.path() + " --merge --format ply").status, 0);
  CommandRun fromPly = RunCommand("pcl_converter " + plyOut.File("frame000003.ply") + " " +
                        plyOut.File("back.pcd") + " -f ascii");
  ASSERT_EQ(fromPly.status, 0) << fromPly.output;
  EXPECT_NE(ReadFile(plyOut.File("back.pcd")).find("POINTS 2\n"), std::string::npos);
  EXPECT_NE(ReadFile(plyOut.File("frame000003.ply")).find("property uchar camera\n"), std::string::npos);
}

// export.json says what the files hold: units, calibration, the cameras'
// poses and colours, and each frame's time on the take's one clock.
TEST_F(TakeToolTest, ExportsSayWhatTheyHold) {
  TempDir out;
  ASSERT_EQ(Take("export " + take_.path() + " --to " + out.path() + " --frames 1:3").status, 0);
  const std::string json = ReadFile(out.File("export.json"));
  for (const char* part :
       {"\"units\": \"cm\"", "\"calibration\": 0.002", "\"format\": \"pcd\"", "\"merged\": false",
        "{\"number\": 1, \"pose\": {\"x\": 3, \"y\": 0, \"z\": -70, \"rx\": 17, \"ry\": -2, \"rz\": -2}, "
        "\"colour\": [44, 255, 0]}",
        "{\"number\": 1, \"takeTimeMs\": 33.000, \"files\": [\"frame000001_cam1.pcd\"]}",  // camera 3 missed it
        "{\"number\": 2, \"takeTimeMs\": 66.000, \"files\": [\"frame000002_cam1.pcd\", \"frame000002_cam3.pcd\"]}",
        "{\"number\": 3, \"takeTimeMs\": 133.000, "})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  EXPECT_EQ(json.find("\"number\": 0, \"takeTimeMs\""), std::string::npos) << json;
}

TEST_F(TakeToolTest, CutTakeExportsEveryWholeRecordAndSaysWhereItStopped) {
  std::filesystem::resize_file(take_.File("PCL1.dat"), 107);
  TempDir out;
  CommandRun run = Take("export " + take_.path() + " --to " + out.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("cut short"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("record 3 at byte 84"), std::string::npos) << run.output;
  EXPECT_TRUE(std::filesystem::exists(out.File("frame000002_cam1.pcd")));
  EXPECT_FALSE(std::filesystem::exists(out.File("frame000003_cam1.pcd")));
}

TEST_F(TakeToolTest, ExportCopiesCoordinatesThatAreNotNumbersAndIsNotCutShort) {
  std::string data = ReadFile(take_.File("PCL3.dat"));
  const float nan = std::nanf("");
  std::memcpy(&data[52 + 4 + 12 + 4], &nan, 4);  // camera 3, frame 2, point 1, y
  WriteFile(take_.File("PCL3.dat"), data);
  TempDir out;
  CommandRun run = Take("export " + take_.path() + " --to " + out.path() + " --units pcl");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.find("cut short"), std::string::npos) << run.output;
  auto third = LoadBack(out.File("frame000002_cam3.pcd"));
  ASSERT_EQ(third.size(), 4u);
  EXPECT_TRUE(std::isnan(third[1].y));
}

TEST_F(TakeToolTest, UntrustedFilesNeverCrashTheTool) {
  WriteFile(take_.File("PCL1.dat"), std::string("\xff\xff\xff\x7f", 4));  // 2^31-1 points in 4 bytes
  WriteFile(take_.File("TS3.txt"), std::string(100000, '9'));
  WriteFile(take_.File("RECPARAM.txt"), std::string("\0\0garbage", 9));
  for (const char* verb : {"info", "verify"}) {
    CommandRun run = Take(std::string(verb) + " " + take_.path());
    EXPECT_LT(run.status, 2) << verb << "\n" << run.output;
  }
  CommandRun verify = Take("verify " + take_.path());
  EXPECT_NE(verify.output.find("PCL1.dat: record 0 at byte 0: point count 2147483647 is more than a frame has pixels"),
            std::string::npos)
      << verify.output;
  TempDir out;
  EXPECT_LT(Take("export " + take_.path() + " --to " + out.path()).status, 2);
}

TEST_F(TakeToolTest, VerifyRefusesAFifoAndADeviceInsteadOfWaitingOrFillingMemory) {
  std::filesystem::remove(take_.File("TS1.txt"));
  ASSERT_EQ(::mkfifo(take_.File("TS1.txt").c_str(), 0600), 0);
  std::filesystem::remove(take_.File("PCL3.dat"));
  std::filesystem::create_symlink("/dev/zero", take_.File("PCL3.dat"));
  for (const char* verb : {"verify", "info"}) {
    CommandRun run = RunCommand("timeout 30 '" KESTROVA_TAKE "' " + std::string(verb) + " " + take_.path());
    EXPECT_NE(run.status, 124) << verb << " waited on the FIFO";
    EXPECT_NE(run.output.find("TS1.txt: byte 0: not a regular file"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("PCL3.dat: byte 0: not a regular file"), std::string::npos) << run.output;
  }
}

TEST_F(TakeToolTest, AnEmptyOrGarbageSnapshotIsAFaultAndExportKeepsEveryCamera) {
  for (const std::string& snapshot : {std::string(), std::string("\x1b]0;owned\x07\r\nCAL: x\r\n")}) {
    WriteFile(take_.File("RECPARAM.txt"), snapshot);
    CommandRun verify = Take("verify " + take_.path());
    EXPECT_EQ(verify.status, 1) << verify.output;
    EXPECT_NE(verify.output.find("fault: RECPARAM.txt: "), std::string::npos) << verify.output;
    CommandRun info = Take("info " + take_.path());
    EXPECT_EQ(info.output.find("sound: no faults"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("camera 3: 2 frames"), std::string::npos) << info.output;
    TempDir out;
    CommandRun run = Take("export " + take_.path() + " --to " + out.path() + " --units pcl");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("RECPARAM.txt"), std::string::npos) << run.output;
    EXPECT_TRUE(std::filesystem::exists(out.File("frame000002_cam3.pcd")));
    EXPECT_TRUE(std::filesystem::exists(out.File("frame000003_cam1.pcd")));
  }
}

TEST_F(TakeToolTest, InfoPrintsOnlyPrintableText) {
  std::string params = ReadFile(take_.File("RECPARAM.txt"));
  params.replace(6, 3, "\x1b[2J\x07\x9b");  // "Mon" becomes control characters
  WriteFile(take_.File("RECPARAM.txt"), params);
  for (const char* options : {"", " --json"}) {
    CommandRun info = Take("info " + take_.path() + options);
    EXPECT_EQ(info.status, 0) << info.output;
    for (unsigned char c : info.output) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << int(c);
    EXPECT_NE(info.output.find("?[2J?? Dec 07 00:00:42 2026"), std::string::npos) << info.output;
  }
}

TEST_F(TakeToolTest, InfoAndVerifyAgreeOnATakeWhoseCamerasHadNoSensor) {
  TempDir empty;
  OperatorSettings settings;
  CameraSettings cameras;
  for (int i = 0; i < kCameraCount; ++i) cameras[i] = DefaultCameraSetting(i);
  settings.cameraEnabled[2] = 1;  // cameras 1 and 3 enabled, neither has files
  WriteFile(empty.File("RECPARAM.txt"), FormatParams(settings, cameras, "Mon Dec 07 00:00:42 2026"));
  CommandRun verify = Take("verify " + empty.path());
  CommandRun info = Take("info " + empty.path());
  EXPECT_EQ(verify.status, 1) << verify.output;
  const std::string fault = "RECPARAM.txt: byte 0: enables camera 1, 3, but no camera of the take has files";
  EXPECT_NE(verify.output.find(fault), std::string::npos) << verify.output;
  EXPECT_NE(info.output.find(fault), std::string::npos) << info.output;
  EXPECT_EQ(info.output.find("sound"), std::string::npos) << info.output;

  // A take of no camera at all holds its settings alone, and is sound.
  settings.cameraEnabled[0] = settings.cameraEnabled[2] = 0;
  WriteFile(empty.File("RECPARAM.txt"), FormatParams(settings, cameras, "Mon Dec 07 00:00:42 2026"));
  verify = Take("verify " + empty.path());
  info = Take("info " + empty.path());
  EXPECT_EQ(verify.status, 0) << verify.output;
  EXPECT_NE(info.output.find("sound: no faults"), std::string::npos) << info.output;
}

TEST_F(TakeToolTest, BadCommandLinesAreRefused) {
  EXPECT_EQ(Take("").status, 2);
  EXPECT_EQ(Take("export " + take_.path()).status, 2);
  EXPECT_EQ(Take("export " + take_.path() + " --to /tmp --format obj").status, 2);
  EXPECT_EQ(Take("export " + take_.path() + " --to /tmp --frames 5:2").status, 2);
  EXPECT_EQ(Take("frobnicate " + take_.path()).status, 2);
  CommandRun help = Take("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* word : {"info", "verify", "export", "view", "--merge", "--units", "--frames"})
    EXPECT_NE(help.output.find(word), std::string::npos) << word;
}

TEST_F(TakeToolTest, ViewPlaysTheTakeToTheEnd) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "needs an X display";
  CommandRun run = Take("view " + take_.path() + " --once --speed 8 --screenshot " + take_.File("view.png"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(std::filesystem::exists(take_.File("view.png")));
}

}  // namespace
}  // namespace kestrova
