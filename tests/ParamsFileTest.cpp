// The parameter text file: its exact bytes, and how the reader copes with
// files that are short, cut, relabelled, over-long or written elsewhere.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <filesystem>

#include "settings/ParamsFile.h"
#include "core/Recorder.h"
#include "settings/TimeText.h"
#include "tests/support/TempDir.h"

namespace kestrova {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

const char kDefaultFile[] =
    "TIME: Mon Dec 07 00:00:42 2026\r\n"
    " \r\n"
    "CAL: 0.001200 \r\n"
    "CAM: 1 0 0 0 \r\n"
    "ROI: -29.000000 26.000000 -41.000000 -4.000000 -22.000000 13.000000 \r\n"
    "RESOLUTION: 100.000000 \r\n"
    "CAM1: 3.000000 0.000000 -70.000000 17.000000 -2.000000 -2.000000 255 255 0 15.000000 \r\n"
    "CAM2: 78.500000 1.000000 -4.500000 16.000000 -90.000000 0.000000 0 255 0 15.000000 \r\n"
    "CAM3: -85.500000 1.000000 -9.500000 14.500000 90.000000 0.000000 0 255 255 15.000000 \r\n"
    "CAM4: -5.000000 0.000000 65.500000 15.000000 179.000000 1.000000 0 0 255 15.000000 \r\n";

CameraSettings DefaultCameras() {
  CameraSettings cameras;
  for (int i = 0; i < kCameraCount; ++i) cameras[i] = DefaultCameraSetting(i);
  return cameras;
}

std::tm Dec7() {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_wday = 1;
  t.tm_sec = 42;
  return t;
}

// Switches the process to a locale with a decimal comma, when the machine has one.
class CommaLocale {
 public:
  CommaLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8"}) {
      if (std::setlocale(LC_ALL, name) != nullptr) {
        active_ = true;
        return;
      }
    }
  }
  ~CommaLocale() { std::setlocale(LC_ALL, "C"); }
  bool active() const { return active_; }

 private:
  bool active_ = false;
};

TEST(ParamsFormat, DefaultsMatchTheReferenceFileByteForByte) {
  EXPECT_EQ(FormatParams(OperatorSettings(), DefaultCameras(), CTimeText(Dec7())), kDefaultFile);
}

TEST(ParamsFormat, TimeTextHasTwoDigitDayAndEnglishNames) {
  EXPECT_EQ(CTimeText(Dec7()), "Mon Dec 07 00:00:42 2026");
  std::tm t{};
  t.tm_year = 99;
  t.tm_mon = 0;
  t.tm_mday = 31;
  t.tm_wday = 0;
  t.tm_hour = 23;
  t.tm_min = 5;
  EXPECT_EQ(CTimeText(t), "Sun Jan 31 23:05:00 1999");
}

TEST(ParamsFormat, DecimalCommaLocaleStillWritesAndReadsPoints) {
  CommaLocale comma;
  if (!comma.active()) GTEST_SKIP() << "no locale with a decimal comma on this machine";
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 0.5);
  ASSERT_STREQ(probe, "0,5");  // the locale is really in force
  EXPECT_EQ(FormatParams(OperatorSettings(), DefaultCameras(), CTimeText(Dec7())), kDefaultFile);
  OperatorSettings s;
  CameraSettings cameras = DefaultCameras();
  ParseParams("\n\nCAL: 0.5 \n", s, cameras);
  EXPECT_FLOAT_EQ(s.calibration, 0.5f);
}

TEST(ParamsFormat, NegativeAndOddValuesAreWrittenInFixedNotation) {
  OperatorSettings s;
  s.calibration = 0.00125f;
  s.cameraEnabled[2] = 7;
  s.xMin = -0.5f;
  CameraSettings cameras = DefaultCameras();
  cameras[3].r = 300;
  cameras[3].maxDepth = 250;
  std::string text = FormatParams(s, cameras, "Mon Dec 07 00:00:42 2026");
  EXPECT_NE(text.find("CAL: 0.001250 \r\n"), std::string::npos);
  EXPECT_NE(text.find("CAM: 1 0 7 0 \r\n"), std::string::npos);
  EXPECT_NE(text.find("ROI: -0.500000 26.000000 "), std::string::npos);
  EXPECT_NE(text.find("15.000000 179.000000 1.000000 300 0 255 250.000000 \r\n"), std::string::npos);
}

TEST(ParamsRead, RoundTripRestoresEveryStoredValue) {
  OperatorSettings written;
  written.calibration = 0.0031f;
  written.cameraEnabled[0] = 0;
  written.cameraEnabled[3] = 1;
  written.xMin = -12.25f;
  written.zMax = 40.5f;
  written.resolution = 250;
  CameraSettings cameras = DefaultCameras();
  cameras[1] = {1.5f, -2.25f, 3.125f, 4, 5, -6, 10, 20, 30, 42.5f};
  std::string text = FormatParams(written, cameras, "Mon Dec 07 00:00:42 2026");

  OperatorSettings read;
  read.maxRecordingMinutes = 3;  // not in the file: stays
  CameraSettings readCameras;
  ParseParams(text, read, readCameras);
  EXPECT_FLOAT_EQ(read.calibration, 0.0031f);
  EXPECT_EQ(read.cameraEnabled[0], 0);
  EXPECT_EQ(read.cameraEnabled[3], 1);
  EXPECT_FLOAT_EQ(read.xMin, -12.25f);
  EXPECT_FLOAT_EQ(read.zMax, 40.5f);
  EXPECT_FLOAT_EQ(read.resolution, 250);
  EXPECT_FLOAT_EQ(read.maxRecordingMinutes, 3);
  EXPECT_FLOAT_EQ(readCameras[1].z, 3.125f);
  EXPECT_EQ(readCameras[1].b, 30);
  EXPECT_FLOAT_EQ(readCameras[1].maxDepth, 42.5f);
  EXPECT_FLOAT_EQ(readCameras[3].ry, 179);
}

TEST(ParamsRead, LabelsAreSkippedUnreadAndAMissingLabelLosesTheFirstValue) {
  OperatorSettings s;
  CameraSettings cameras = DefaultCameras();
  ParseParams(
      "x\ny\n"
      "foo: 0.5 \n"
      "bar: 0 1 1 0 \n"
      "ROI: 1 2 3 4 5 6 \n"
      "RES 42 \n"
      "11 12 13 14 15 16 17 18 19 20 21 \n",
      s, cameras);
  EXPECT_FLOAT_EQ(s.calibration, 0.5f);
  EXPECT_EQ(s.cameraEnabled[1], 1);
  EXPECT_FLOAT_EQ(s.resolution, 42);
  // "11" was taken for the label: every value moved one field to the left.
  EXPECT_FLOAT_EQ(cameras[0].x, 12);
  EXPECT_EQ(cameras[0].r, 18);
  EXPECT_FLOAT_EQ(cameras[0].maxDepth, 21);
}

TEST(ParamsRead, ShortOrCutFilesNeverShiftValuesBetweenLines) {
  OperatorSettings s;
  CameraSettings cameras = DefaultCameras();
  // Five lines, the ROI line cut after three values, no final line break.
  ParseParams("TIME: x\r\n \r\nCAL: 0.002 \r\nCAM: 1 1 0 0 \r\nROI: 1 2 3", s, cameras);
  EXPECT_FLOAT_EQ(s.calibration, 0.002f);
  EXPECT_FLOAT_EQ(s.yMin, 3);
  EXPECT_FLOAT_EQ(s.yMax, -4);  // cut off: keeps its value
  EXPECT_FLOAT_EQ(s.resolution, 100);
  EXPECT_FLOAT_EQ(cameras[0].z, -70);

  // An empty line stands where the enables were: the ROI line is still the ROI.
  OperatorSettings t;
  ParseParams("\n\nCAL: 0.003 \n\nROI: 9 8 7 6 5 4 \n", t, cameras);
  EXPECT_EQ(t.cameraEnabled[0], 1);
  EXPECT_FLOAT_EQ(t.xMin, 9);
  EXPECT_FLOAT_EQ(t.zMax, 4);
}

TEST(ParamsRead, AValueThatDoesNotParseEndsItsLineOnly) {
  OperatorSettings s;
  CameraSettings cameras = DefaultCameras();
  ParseParams("\n\nCAL: abc \nCAM: 0 1 x 1 \nROI: 1 2 3 4 5 6 \n", s, cameras);
  EXPECT_FLOAT_EQ(s.calibration, 0.0012f);
  EXPECT_EQ(s.cameraEnabled[0], 0);
  EXPECT_EQ(s.cameraEnabled[1], 1);
  EXPECT_EQ(s.cameraEnabled[2], 0);  // kept
  EXPECT_EQ(s.cameraEnabled[3], 0);  // after the bad value: kept
  EXPECT_FLOAT_EQ(s.zMax, 6);
}

TEST(ParamsRead, ValuesAreStoredWithoutRangeChecks) {
  OperatorSettings s;
  CameraSettings cameras = DefaultCameras();
  ParseParams("\n\n\nCAM: 5 -1 0 0 \n\n\nCAM1: 0 0 0 0 0 0 300 -4 99999 250 \n", s, cameras);
  EXPECT_EQ(s.cameraEnabled[0], 5);
  EXPECT_EQ(s.cameraEnabled[1], -1);
  EXPECT_EQ(cameras[0].r, 300);
  EXPECT_EQ(cameras[0].g, -4);
  EXPECT_EQ(cameras[0].b, 99999);
  EXPECT_FLOAT_EQ(cameras[0].maxDepth, 250);
}

TEST(ParamsRead, OverLongLineStaysOneLine) {
  TempDir dir;
  std::string path = dir.File("long.txt");
  WriteFile(path, "TIME: x\r\n \r\nCAL: 0.004 " + std::string(5000, '7') +
                      "\r\nCAM: 0 0 1 1 \r\n");
  OperatorSettings s;
  CameraSettings cameras = DefaultCameras();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  ReadParams(file, s, cameras);
  EXPECT_FLOAT_EQ(s.calibration, 0.004f);
  EXPECT_EQ(s.cameraEnabled[0], 0);
  EXPECT_EQ(s.cameraEnabled[3], 1);
}

TEST(ParamsRead, FileWithLfLineEndsReadsLikeCrLf) {
  std::string lf = kDefaultFile;
  for (size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
  OperatorSettings s;
  s.calibration = 9;
  CameraSettings cameras;
  ParseParams(lf, s, cameras);
  OperatorSettings defaults;
  EXPECT_FLOAT_EQ(s.calibration, defaults.calibration);
  EXPECT_FLOAT_EQ(cameras[2].x, -85.5f);
  EXPECT_EQ(cameras[2].b, 255);
}

TEST(ParamsSave, ReplacesTheFileAndLeavesNothingBeside) {
  TempDir dir;
  std::string path = dir.File("KVA_Params.txt");
  WriteFile(path, "old content");
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(path, kDefaultFile, &error)) << error;
  EXPECT_EQ(ReadFile(path), kDefaultFile);
  int entries = 0;
  for (auto& entry : std::filesystem::directory_iterator(dir.path())) (void)entry, ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(ParamsSave, MissingDirectoryIsReportedWithPathAndReason) {
  TempDir dir;
  std::string path = dir.File("no-such-dir/RECPARAM.txt");
  std::string error;
  EXPECT_FALSE(WriteFileAtomically(path, kDefaultFile, &error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

TEST(ParamsSave, FailedReplaceKeepsTheOldFileWhole) {
  TempDir dir;
  // A directory in the way of the rename: the write beside it succeeds, the
  // replace fails, and the temporary file must not be left behind.
  std::string path = dir.File("KVA_Params.txt");
  std::filesystem::create_directory(path);
  WriteFile(path + "/keep", "x");
  std::string error;
  EXPECT_FALSE(WriteFileAtomically(path, kDefaultFile, &error));
  EXPECT_NE(error.find(path), std::string::npos);
  int entries = 0;
  for (auto& entry : std::filesystem::directory_iterator(dir.path())) (void)entry, ++entries;
  EXPECT_EQ(entries, 1);
  EXPECT_EQ(ReadFile(path + "/keep"), "x");
}

TEST(ParamsEngine, SaveAndLoadGoThroughTheOwnerAndTheCameras) {
  TempDir dir;
  std::string path = dir.File("KVA_Params.txt");
  {
    CRecorder engine(nullptr);
    engine.owner->Modify([](OperatorSettings& s) {
      s.calibration = 0.0025f;
      s.cameraEnabled[2] = 1;
      s.maxRecordingMinutes = 2;  // never stored
    });
    CameraSetting c = engine.Camera(2);
    c.x = -1.5f;
    engine.SetCamera(2, c);
    std::string error;
    ASSERT_TRUE(engine.SaveParams(path, &error)) << error;
  }
  std::string text = ReadFile(path);
  EXPECT_EQ(text.substr(0, 6), "TIME: ");
  EXPECT_EQ(text.substr(30, 5), "\r\n \r\n");

  CRecorder engine(nullptr);
  ASSERT_TRUE(engine.LoadParamsFile(path));
  OperatorSettings s = engine.owner->Settings();
  EXPECT_FLOAT_EQ(s.calibration, 0.0025f);
  EXPECT_EQ(s.cameraEnabled[2], 1);
  EXPECT_FLOAT_EQ(s.maxRecordingMinutes, 11);
  EXPECT_FLOAT_EQ(engine.Camera(2).x, -1.5f);
  EXPECT_FALSE(engine.LoadParamsFile(dir.File("absent.txt")));
}

}  // namespace
}  // namespace kestrova
