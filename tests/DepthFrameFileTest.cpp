// DEPTHn.dat: the layout byte for byte, lossless round trips, and hostile
// files that must give a fault with its offset, never a crash or a large
// allocation.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "record/DepthFrameFile.h"
#include "support/TempDir.h"

namespace kestrova {
namespace {

using testing::TempDir;

std::string Bytes(const std::vector<char>& v) { return std::string(v.begin(), v.end()); }

std::vector<std::uint16_t> NoisyFrame(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint16_t> pixels(static_cast<size_t>(width) * height);
  for (size_t k = 0; k < pixels.size(); ++k)
    pixels[k] = static_cast<std::uint16_t>(((1000 + k % 97) << 3) | (random() & 7));
  pixels[0] = 0xFFFF;
  pixels[1] = 0;
  return pixels;
}

// A file of the given header and records, written to disk.
std::string WriteFile(const TempDir& dir, const std::string& bytes) {
  const std::string path = dir.File("DEPTH1.dat");
  testing::WriteFile(path, bytes);
  return path;
}

std::string Record(std::int32_t frame, std::int64_t stamp, const std::vector<std::uint16_t>& pixels,
                   int width, int height) {
  DepthFrameEncoder encoder;
  std::vector<char> out;
  std::string error;
  EXPECT_TRUE(encoder.Encode(frame, stamp, pixels.data(), width, height, &out, &error)) << error;
  return Bytes(out);
}

TEST(DepthFrameFile, HeaderBytes) {
  // "KVADEPTH", version 1, width 320 = 0x0140, height 240 = 0x00F0, codec 1.
  const std::string expected("KVADEPTH\x01\x00\x40\x01\xF0\x00\x01\x00", 16);
  EXPECT_EQ(DepthFileHeaderBytes(320, 240), expected);
}

TEST(DepthFrameFile, RecordHeaderBytes) {
  const std::string record = Record(7, 0x0102030405060708LL, NoisyFrame(4, 2, 1), 4, 2);
  ASSERT_GT(record.size(), 16u);
  EXPECT_EQ(record.substr(0, 12), std::string("\x07\x00\x00\x00\x08\x07\x06\x05\x04\x03\x02\x01", 12));
  const std::uint32_t size = static_cast<unsigned char>(record[12]) |
                             static_cast<unsigned char>(record[13]) << 8 |
                             static_cast<unsigned char>(record[14]) << 16 |
                             static_cast<unsigned char>(record[15]) << 24;
  EXPECT_EQ(size, record.size() - 16);
  // A zstd frame starts with its magic number 0xFD2FB528.
  EXPECT_EQ(record.substr(16, 4), std::string("\x28\xB5\x2F\xFD", 4));
}

TEST(DepthFrameFile, RowDeltasUndoneByHand) {
  // Pixels 5, 3, 65535, 0 are stored as 5, 3 - 5, 65535 - 3, 0 - 65535 (mod 2^16).
  std::uint16_t values[4] = {5, 65534, 65532, 1};
  UndoRowDeltas(values, 4, 1);
  EXPECT_EQ(std::vector<std::uint16_t>(values, values + 4), (std::vector<std::uint16_t>{5, 3, 65535, 0}));
}

TEST(DepthFrameFile, FramesReadBackExactlyWithTheirNumbersAndStamps) {
  TempDir dir;
  const auto first = NoisyFrame(320, 240, 1), second = NoisyFrame(320, 240, 2);
  const std::int64_t bigStamp = (std::int64_t{1} << 40) + 17;
  const std::string path = WriteFile(dir, DepthFileHeaderBytes(320, 240) + Record(0, 100, first, 320, 240) +
                                              Record(3, bigStamp, second, 320, 240));
  DepthFrameReader reader;
  ReadFault fault;
  ASSERT_TRUE(reader.Open(path, "DEPTH1.dat", &fault)) << fault.Text();
  EXPECT_EQ(reader.Header().width, 320);
  DepthFrameRecord record;
  ASSERT_TRUE(reader.Next(&record, &fault)) << fault.Text();
  EXPECT_EQ(record.frame, 0);
  EXPECT_EQ(record.stamp, 100);
  EXPECT_EQ(record.pixels, first);
  EXPECT_LT(record.compressedBytes, 320u * 240 * 2);
  ASSERT_TRUE(reader.Next(&record, &fault));
  EXPECT_EQ(record.frame, 3);
  EXPECT_EQ(record.stamp, bigStamp);
  EXPECT_EQ(record.pixels, second);
  EXPECT_FALSE(reader.Next(&record, &fault));
  EXPECT_FALSE(fault.any);
}

TEST(DepthFrameFile, ACutTailKeepsEveryWholeFrame) {
  const auto pixels = NoisyFrame(320, 240, 3);
  const std::string whole = DepthFileHeaderBytes(320, 240) + Record(0, 1, pixels, 320, 240);
  const std::string second = Record(1, 34, pixels, 320, 240);
  // A crash cuts a file inside a record, or leaves its tail zero-filled.
  const struct {
    std::string tail, reason;
  } cases[] = {{second.substr(0, second.size() - 10), "record cut short"},
               {std::string(4096, '\0'), "zero bytes where a record should begin"}};
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = WriteFile(dir, whole + c.tail);
    DepthFrameReader reader;
    ReadFault fault;
    ASSERT_TRUE(reader.Open(path, "DEPTH1.dat", &fault));
    DepthFrameRecord record;
    ASSERT_TRUE(reader.Next(&record, &fault));
    EXPECT_FALSE(reader.Next(&record, &fault));
    ASSERT_TRUE(fault.any);
    EXPECT_TRUE(fault.cutShort) << fault.reason;
    EXPECT_EQ(fault.offset, whole.size());
    EXPECT_EQ(fault.item, 1);
    EXPECT_NE(fault.reason.find(c.reason), std::string::npos) << fault.reason;
  }
}

// Faults of a hostile or damaged file, each with the offset of its record.
std::string FaultOf(const std::string& bytes, long long* item = nullptr) {
  TempDir dir;
  DepthFrameReader reader;
  ReadFault fault;
  if (reader.Open(WriteFile(dir, bytes), "DEPTH1.dat", &fault)) {
    DepthFrameRecord record;
    while (reader.Next(&record, &fault)) {
    }
  }
  if (item) *item = fault.item;
  return fault.any ? fault.Text() : "no fault";
}

TEST(DepthFrameFile, HostileFilesGiveFaults) {
  const std::string header = DepthFileHeaderBytes(4, 2);
  const std::string good = Record(0, 1, NoisyFrame(4, 2, 4), 4, 2);
  EXPECT_NE(FaultOf("KVADEPT").find("shorter than 16 bytes"), std::string::npos);
  EXPECT_NE(FaultOf("PCLDEPTH" + header.substr(8)).find("not a depth-frame file"), std::string::npos);
  EXPECT_NE(FaultOf(DepthFileHeaderBytes(2000, 2000)).find("not one a sensor delivers"), std::string::npos);
  std::string version2 = header;
  version2[8] = 2;
  EXPECT_NE(FaultOf(version2).find("version 2"), std::string::npos);

  // A size no frame of 4 x 2 pixels can take, at record 1 (byte 16 + its length).
  std::string huge = good;
  huge[0] = 1;
  huge[12] = huge[13] = huge[14] = huge[15] = '\xFF';
  const std::string hugeFault = FaultOf(header + good + huge);
  EXPECT_NE(hugeFault.find("record 1 at byte " + std::to_string(16 + good.size())), std::string::npos)
      << hugeFault;
  EXPECT_NE(hugeFault.find("more than a frame can take"), std::string::npos);

  // Frame numbers rise, and a record holds pixels.
  EXPECT_NE(FaultOf(header + good + good).find("record 1 at byte " + std::to_string(16 + good.size()) +
                                                ": frame number 0 does not rise after 0"),
            std::string::npos);
  std::string empty = Record(1, 2, NoisyFrame(4, 2, 4), 4, 2).substr(0, 16);
  empty[12] = empty[13] = empty[14] = empty[15] = 0;
  EXPECT_NE(FaultOf(header + good + empty + good).find("record 1 at byte " + std::to_string(16 + good.size()) +
                                                       ": an empty record"),
            std::string::npos);

  // Pixels of another frame size, and a damaged payload (zstd's checksum).
  const std::string wide = Record(0, 1, NoisyFrame(8, 2, 5), 8, 2);
  EXPECT_NE(FaultOf(header + wide).find("do not hold one 4 x 2 frame"), std::string::npos);
  std::string damaged = good;
  damaged[damaged.size() - 6] ^= 0x55;
  EXPECT_NE(FaultOf(header + damaged).find("damaged"), std::string::npos);

  std::string negative = good;
  negative[3] = '\x80';
  EXPECT_NE(FaultOf(header + negative).find("negative frame number"), std::string::npos);
}

TEST(DepthFrameFile, OnlyRegularFilesAreOpened) {
  DepthFrameReader reader;
  ReadFault fault;
  EXPECT_FALSE(reader.Open("/dev/zero", "DEPTH1.dat", &fault));
  EXPECT_NE(fault.reason.find("not a regular file"), std::string::npos);
}

TEST(DepthFrameFile, SkipWalksRecordsWithoutDecoding) {
  TempDir dir;
  const auto pixels = NoisyFrame(4, 2, 6);
  std::string bytes = DepthFileHeaderBytes(4, 2);
  for (int frame = 0; frame < 5; ++frame) bytes += Record(frame * 2, frame * 33, pixels, 4, 2);
  DepthFrameReader reader;
  ReadFault fault;
  ASSERT_TRUE(reader.Open(WriteFile(dir, bytes), "DEPTH1.dat", &fault));
  DepthFrameRecord record;
  std::vector<std::uint64_t> offsets;
  while ((offsets.push_back(reader.Offset()), reader.Skip(&record, &fault))) {
  }
  ASSERT_FALSE(fault.any);
  EXPECT_EQ(offsets.size(), 6u);  // five records and the end
  ASSERT_TRUE(reader.Seek(offsets[3], 3, 4));
  ASSERT_TRUE(reader.Next(&record, &fault));
  EXPECT_EQ(record.frame, 6);
  EXPECT_EQ(record.stamp, 99);
  EXPECT_EQ(record.pixels, pixels);
}

}  // namespace
}  // namespace kestrova
