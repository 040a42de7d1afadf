// The libfreenect backend without hardware: the 640 to 320 reduction, the
// disparity conversion, the time-stamp unwrapping and libfreenect's messages
// on hand-made inputs; takes recorded from libfreenect's own fake device
// library and from the failing stand-in (see FreenectFaultTest.cpp).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "capture/FreenectFrames.h"
#include "capture/FreenectLog.h"
#include "capture/NuiSensor.h"
#include "tests/support/Commands.h"
#include "tests/support/TakeFiles.h"
#include "tests/support/TempDir.h"

namespace kestrova {
namespace {

TEST(FreenectFrames, HalvingTakesEverySecondPixelOfEverySecondRow) {
  std::vector<std::uint16_t> full(640 * 480);
  for (int row = 0; row < 480; ++row)
    for (int column = 0; column < 640; ++column) full[row * 640 + column] = static_cast<std::uint16_t>(row * 10 + column % 7);
  full[2 * 640 + 4] = 8191;    // the deepest a pixel can hold
  full[2 * 640 + 6] = 8192;    // too deep: no reading
  full[1 * 640 + 0] = 9999;    // an odd row: never taken
  std::vector<std::uint16_t> pixels(kDefaultDepthPixels);
  HalveDepthFrame(full.data(), pixels.data());
  EXPECT_EQ(pixels[0], 0);
  EXPECT_EQ(pixels[1], (2 % 7) << 3);                 // row 0, column 2
  EXPECT_EQ(pixels[1 * 320 + 0], (20) << 3);          // row 2, column 0
  EXPECT_EQ(pixels[1 * 320 + 2], 8191 << 3);
  EXPECT_EQ(pixels[1 * 320 + 3], 0);
  EXPECT_EQ(pixels[239 * 320 + 319], (4780 + 638 % 7) << 3);  // row 478, column 638
}

TEST(FreenectFrames, RawDisparityBecomesMillimetres) {
  // 1000 / (3.3309495161 - 0.0030711016 * 600) = 1000 / 1.48828856 = 671.9
  EXPECT_EQ(RawDisparityToMm(600), 672);
  EXPECT_EQ(RawDisparityToMm(0), 300);     // 1000 / 3.3309495 = 300.2
  EXPECT_EQ(RawDisparityToMm(2047), 0);    // no reading
  EXPECT_EQ(RawDisparityToMm(1083), 0);    // beyond 8191 mm
  EXPECT_EQ(RawDisparityToMm(1500), 0);    // past the formula's pole
  std::vector<std::uint16_t> raw(640 * 480, 600);
  std::vector<std::uint16_t> pixels(kDefaultDepthPixels);
  HalveRawDisparityFrame(raw.data(), pixels.data());
  EXPECT_EQ(pixels[12345], 672 << 3);
}

TEST(FreenectFrames, TimeStampsStayContinuousAcrossTheWrap) {
  TimeStampUnwrapper clock(5);
  EXPECT_EQ(clock.Milliseconds(4294967000u, 0), 5);
  EXPECT_EQ(clock.Milliseconds(1999704u, 33), 5 + 33);      // 2 000 000 ticks later, across 2^32
  EXPECT_EQ(clock.Milliseconds(3999704u, 66), 5 + 66);
  // Ten wraps (about 716 s), a frame every 2^30 ticks = 17 895.7 ms.
  TimeStampUnwrapper longRun;
  std::uint32_t ticks = 123;
  longRun.Milliseconds(ticks, 0);
  std::int64_t previous = 0;
  for (int i = 1; i <= 40; ++i) {
    ticks += 1u << 30;
    std::int64_t ms = longRun.Milliseconds(ticks, i * 17896LL);
    EXPECT_GT(ms, previous);
    previous = ms;
  }
  EXPECT_EQ(previous, static_cast<std::int64_t>((40ULL << 30) / 60000));
}

TEST(FreenectFrames, TheHostClockCountsTheWrapsOfALongGap) {
  TimeStampUnwrapper clock;
  EXPECT_EQ(clock.Milliseconds(1000000000u, 0), 0);
  // 80 s = 4 800 000 000 ticks: the counter shows 4.8e9 - 2^32 = 505 032 704
  // more (8 417 ms), one wrap being hidden.
  EXPECT_EQ(clock.Milliseconds(1505032704u, 80000), 80000);
  // 200 s more = 12e9 ticks, two wraps hidden (12e9 - 2 * 2^32 = 3 410 065 408
  // shown); the host saw the frame 150 ms late, the device's count stands.
  EXPECT_EQ(clock.Milliseconds(static_cast<std::uint32_t>(1505032704u + 3410065408u), 280150), 280000);
  // And the next frame 2 000 000 ticks on.
  EXPECT_EQ(clock.Milliseconds(static_cast<std::uint32_t>(1505032704u + 3410065408u + 2000000u), 280183),
            280033);
}

TEST(FreenectFrames, AClockSteppingBackHoldsTheStampAndAResetOneFollowsTheHost) {
  TimeStampUnwrapper clock(100);
  EXPECT_EQ(clock.Milliseconds(600000000u, 0), 100);
  EXPECT_EQ(clock.Milliseconds(602000000u, 33), 133);
  EXPECT_EQ(clock.Milliseconds(601400000u, 66), 133);   // 10 ms back: held, not 71.6 s on
  EXPECT_EQ(clock.Milliseconds(603400000u, 100), 166);  // 2 000 000 ticks on from there
  // A counter reset from 3e9 to 1000 would read 21.6 s on; the host says 33 ms.
  TimeStampUnwrapper reset;
  EXPECT_EQ(reset.Milliseconds(3000000000u, 0), 0);
  EXPECT_EQ(reset.Milliseconds(1000u, 33), 33);
  EXPECT_EQ(reset.Milliseconds(2001000u, 66), 66);
}

TEST(FreenectFrames, DeviceGeometryGivesTheInverseFocalLengthAt320) {
  // A Kinect's usual zero plane: 120 mm, 0.1042 mm: 4 * 0.1042 / 120.
  EXPECT_NEAR(DeviceInverseFocalLength(120.0, 0.1042), 0.00347333, 1e-8);
}

TEST(FreenectLog, MessagesOfOneKindDifferOnlyInNumbers) {
  EXPECT_EQ(MessageKind("Failed to submit isochronous transfer 12: -1\n"),
            "Failed to submit isochronous transfer #: -#");
  EXPECT_EQ(MessageKind("Failed to submit isochronous transfer 3: -1"),
            MessageKind("Failed to submit isochronous transfer 15: -1\n"));
  EXPECT_NE(MessageKind("USB camera marked dead, stopping streams"),
            MessageKind("USB audio marked dead"));
}

TEST(FreenectLog, AFailedOpenIsExplainedFromLibfreenectsMessages) {
  const std::string notOpened = "Failed to open camera subdevice or it is not disabled.";
  EXPECT_EQ(OpenFailureReason({"Could not open camera: -3\n", notOpened}).rfind("permission denied", 0),
            0u);
  EXPECT_EQ(OpenFailureReason({"Failed to claim camera interface: LIBUSB_ERROR_BUSY\n", notOpened})
                .rfind("busy", 0), 0u);
  EXPECT_EQ(OpenFailureReason({"Could not open camera: -4"}), "it was unplugged");
  EXPECT_EQ(OpenFailureReason({notOpened}), "libfreenect: " + notOpened);
  EXPECT_EQ(OpenFailureReason({}), "libfreenect gave no reason");
}

// libfreenect's fake device library replays a folder with INDEX.txt and
// depth files "d-<seconds>-<ticks>.pgm" of raw 11-bit disparity. The device
// clock wraps after frame `wrapAfter`.
void WriteFakeRecording(const std::string& dir, int frames, unsigned wrapAfter) {
  std::string index;
  for (int i = 0; i < frames; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "d-%.6f-%u.pgm", 1000.0 + i / 30.0,
                  (4294000000u - 2000000u * wrapAfter) + 2000000u * static_cast<unsigned>(i));
    std::string data = "P5 640 480 65535\n";
    std::vector<std::uint16_t> raw(640 * 480, static_cast<std::uint16_t>(600 + i));
    data.append(reinterpret_cast<const char*>(raw.data()), raw.size() * 2);
    testing::WriteFile(dir + "/" + name, data);
    index += std::string(name) + "\n";
  }
  testing::WriteFile(dir + "/INDEX.txt", index);
}

TEST(FreenectBackend, RecordsATakeFromTheFakeDeviceLibrary) {
  const std::string fake = FAKENECT_LIBRARY_DIR;
  if (!std::filesystem::exists(fake + "/libfreenect.so")) GTEST_SKIP() << "no fake libfreenect";
  testing::TempDir recording, take;
  WriteFakeRecording(recording.path(), 40, 3);
  const std::string command = "FAKENECT_PATH='" + recording.path() + "' LD_LIBRARY_PATH='" + fake +
                              "' '" KESTROVA_RECORD "' --sensors freenect --frames 12 --out '" +
                              take.path() + "'";
  const testing::CommandRun run = testing::RunCommand(command);
  const std::string& output = run.output;
  ASSERT_EQ(run.status, 0) << output;
  auto lines = testing::ReadTimeStampLines(take.File("TS1.txt"));
  ASSERT_EQ(lines.size(), 12u) << output;
  // Across the device clock's wrap (after the fourth frame) the stamps still
  // advance by whole frames of 2 000 000 ticks = 33.3 ms (usually one; more
  // when a loaded machine's recorder fell behind and the sensor dropped one).
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i][0], static_cast<long long>(i));
    long long step = (lines[i][1] - lines[i - 1][1]) * 4294967296LL + (lines[i][2] - lines[i - 1][2]);
    const long long frames = std::llround(step * 3 / 100.0);
    EXPECT_GE(frames, 1) << step;
    EXPECT_LE(std::llabs(step * 3 - frames * 100), 3) << step;
  }
  size_t trailing = 1;
  EXPECT_EQ(testing::ReadRecordCounts(take.File("PCL1.dat"), &trailing).size(), 12u);
  EXPECT_EQ(trailing, 0u);
  EXPECT_NE(output.find("no near mode"), std::string::npos) << output;  // said once
}

// kestrova-record run against the stand-in libfreenect of the fault tests.
testing::CommandRun RecordFromStandIn(const std::string& cameras, const std::string& take, int frames) {
  const std::string params = take + "/two.txt";
  testing::WriteFile(params, "TIME: x\r\n \r\nCAL: 0.0012 \r\nCAM: 1 1 0 0 \r\n");
  return testing::RunCommand("FREENECT_STANDIN='" + cameras + "' LD_LIBRARY_PATH='" STANDIN_LIBRARY_DIR
                             "' '" KESTROVA_RECORD "' --sensors freenect --params '" + params +
                             "' --frames " + std::to_string(frames) + " --out '" + take + "'");
}

TEST(FreenectBackend, ACameraStarvedOfBandwidthIsLeftOutOfTheTake) {
  testing::TempDir take;
  const testing::CommandRun run = RecordFromStandIn("devices=2 silent=2", take.path(), 10);
  ASSERT_EQ(run.status, 0) << run.output;
  for (const char* line : {"camera 1 (serial SERIAL-1): depth in millimetres",
                           "camera 2 (serial SERIAL-2) is not streaming",
                           "camera 2: enabled, but no sensor: not recorded"})
    EXPECT_NE(run.output.find(line), std::string::npos) << run.output;
  EXPECT_EQ(testing::ReadTimeStampLines(take.File("TS1.txt")).size(), 10u);
  EXPECT_FALSE(std::filesystem::exists(take.File("TS2.txt")));
}

// An unplugged camera is lost, not the end of the take: it goes on with
// camera 1, and kestrova-record exits 3 naming camera 2.
TEST(FreenectBackend, ACameraUnpluggedMidTakeIsNamedAndTheTakeGoesOn) {
  testing::TempDir take;
  const testing::CommandRun run = RecordFromStandIn("devices=2 dead=2@30", take.path(), 120);
  EXPECT_EQ(run.status, 3) << run.output;
  EXPECT_NE(run.output.find("camera 2 (serial SERIAL-2) lost"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("recorded, but camera 2 was lost at frame"), std::string::npos) << run.output;
  EXPECT_EQ(testing::ReadTimeStampLines(take.File("TS1.txt")).size(), 120u);
}

}  // namespace
}  // namespace kestrova
