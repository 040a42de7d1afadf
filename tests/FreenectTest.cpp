// The libfreenect backend without hardware: the 640 to 320 reduction, the
// disparity conversion and the time-stamp unwrapping on hand-made inputs,
// and a take recorded from libfreenect's own fake device library.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "capture/FreenectFrames.h"
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
  std::vector<std::uint16_t> pixels(kDepthPixels);
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
  std::vector<std::uint16_t> pixels(kDepthPixels);
  HalveRawDisparityFrame(raw.data(), pixels.data());
  EXPECT_EQ(pixels[12345], 672 << 3);
}

TEST(FreenectFrames, TimeStampsStayContinuousAcrossTheWrap) {
  TimeStampUnwrapper clock(5);
  EXPECT_EQ(clock.Milliseconds(4294967000u), 5);
  EXPECT_EQ(clock.Milliseconds(1999704u), 5 + 33);      // 2 000 000 ticks later, across 2^32
  EXPECT_EQ(clock.Milliseconds(3999704u), 5 + 66);
  // Ten wraps (about 716 s), a frame every 2^30 ticks.
  TimeStampUnwrapper longRun;
  std::uint32_t ticks = 123;
  longRun.Milliseconds(ticks);
  std::int64_t previous = 0;
  for (int i = 1; i <= 40; ++i) {
    ticks += 1u << 30;
    std::int64_t ms = longRun.Milliseconds(ticks);
    EXPECT_GT(ms, previous);
    previous = ms;
  }
  EXPECT_EQ(previous, static_cast<std::int64_t>((40ULL << 30) / 60000));
}

// libfreenect's fake device library replays a folder with INDEX.txt and
// depth files "d-<seconds>-<ticks>.pgm" of raw 11-bit disparity.
void WriteFakeRecording(const std::string& dir, int frames) {
  std::string index;
  for (int i = 0; i < frames; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "d-%.6f-%u.pgm", 1000.0 + i / 30.0,
                  static_cast<unsigned>(4294000000u + 2000000u * static_cast<unsigned>(i)));
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
  WriteFakeRecording(recording.path(), 5);
  const std::string command = "FAKENECT_PATH='" + recording.path() + "' LD_LIBRARY_PATH='" + fake +
                              "' '" KESTROVA_RECORD "' --sensors freenect --frames 4 --out '" +
                              take.path() + "'";
  const testing::CommandRun run = testing::RunCommand(command);
  const std::string& output = run.output;
  ASSERT_EQ(run.status, 0) << output;
  auto lines = testing::ReadTimeStampLines(take.File("TS1.txt"));
  ASSERT_EQ(lines.size(), 4u) << output;
  // The device clock wraps between the first and second frame; the stamps
  // still advance by 2 000 000 ticks = 33 ms each.
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i][0], static_cast<long long>(i));
    long long step = (lines[i][1] - lines[i - 1][1]) * 4294967296LL + (lines[i][2] - lines[i - 1][2]);
    EXPECT_TRUE(step == 33 || step == 34) << step;
  }
  size_t trailing = 1;
  EXPECT_EQ(testing::ReadRecordCounts(take.File("PCL1.dat"), &trailing).size(), 4u);
  EXPECT_EQ(trailing, 0u);
  EXPECT_NE(output.find("no near mode"), std::string::npos) << output;  // said once
}

}  // namespace
}  // namespace kestrova
