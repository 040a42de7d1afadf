// 16-bit greyscale PNG depth frames: a file built here from the PNG format
// itself (not by libpng) reads to the expected sensor pixels, written
// frames read back exactly, and bad files are refused with a reason.
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

#include "capture/DepthPng.h"
#include "capture/NuiSensor.h"
#include "support/TempDir.h"

namespace kestrova {
namespace {

using testing::TempDir;

void PutBigEndian32(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
}

void Chunk(std::string& png, const char* type, const std::string& data) {
  PutBigEndian32(png, static_cast<std::uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  png += body;
  PutBigEndian32(png, static_cast<std::uint32_t>(
                          crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

// A PNG of `width` x `height` samples of `bitDepth` bits, greyscale, no
// interlace: each row a filter byte 0 and its samples, big-endian.
std::string HandMadePng(int width, int height, int bitDepth, int colourType,
                        const std::function<unsigned(int, int)>& sample) {
  std::string raw;
  for (int y = 0; y < height; ++y) {
    raw += '\0';
    for (int x = 0; x < width; ++x) {
      const unsigned v = sample(y, x);
      if (bitDepth == 16) raw += static_cast<char>(v >> 8);
      raw += static_cast<char>(v & 0xFF);
    }
  }
  std::vector<Bytef> packed(compressBound(static_cast<uLong>(raw.size())));
  uLongf size = packed.size();
  compress(packed.data(), &size, reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()));
  std::string ihdr;
  PutBigEndian32(ihdr, static_cast<std::uint32_t>(width));
  PutBigEndian32(ihdr, static_cast<std::uint32_t>(height));
  ihdr += static_cast<char>(bitDepth);
  ihdr += static_cast<char>(colourType);
  ihdr += std::string(3, '\0');  // deflate, filter method 0, no interlace
  std::string png("\x89PNG\r\n\x1a\n", 8);
  Chunk(png, "IHDR", ihdr);
  Chunk(png, "IDAT", std::string(packed.begin(), packed.begin() + static_cast<long>(size)));
  Chunk(png, "IEND", "");
  return png;
}

TEST(DepthPng, AHandMadeFileGivesItsDepthInBits3To15) {
  TempDir dir;
  const std::string path = dir.File("frame.png");
  // Depth 1000 + x mm in row 0, 8191 (the largest a pixel holds) and 8192 (too far) in row 1.
  testing::WriteFile(path, HandMadePng(320, 240, 16, 0, [](int y, int x) -> unsigned {
    if (y == 1) return x == 0 ? 8191 : 8192;
    return y == 0 ? 1000 + x : 0;
  }));
  std::vector<std::uint16_t> pixels;
  std::string error;
  int width = 0, height = 0;
  ASSERT_TRUE(ReadDepthPng(path, pixels, &width, &height, &error)) << error;
  ASSERT_EQ(pixels.size(), static_cast<size_t>(320 * 240));
  EXPECT_EQ(width, 320);
  EXPECT_EQ(height, 240);
  EXPECT_EQ(pixels[0], 8000);        // 1000 << 3
  EXPECT_EQ(pixels[319], 1319 << 3);
  EXPECT_EQ(pixels[320], 65528);     // 8191 << 3
  EXPECT_EQ(pixels[321], 0);         // 8192 mm: no reading
  EXPECT_EQ(pixels[640], 0);
}

TEST(DepthPng, FramesOfAnySizeUpTo640By480KeepTheirSize) {
  TempDir dir;
  for (const auto& [width, height] : {std::pair<int, int>{640, 480}, {7, 3}}) {
    const std::string path = dir.File("frame.png");
    testing::WriteFile(path, HandMadePng(width, height, 16, 0, [](int y, int x) { return 500u + y * 2 + (x % 2); }));
    std::vector<std::uint16_t> pixels;
    std::string error;
    int w = 0, h = 0;
    ASSERT_TRUE(ReadDepthPng(path, pixels, &w, &h, &error)) << error;
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
    ASSERT_EQ(pixels.size(), static_cast<size_t>(width * height));
    EXPECT_EQ(pixels[0], 500 << 3);
    EXPECT_EQ(pixels[2 * width + 5], (500 + 4 + 1) << 3);  // row 2, column 5
  }
}

TEST(DepthPng, WrittenFramesReadBackExactly) {
  TempDir dir;
  std::vector<std::uint16_t> depth(kDefaultDepthPixels);
  for (int k = 0; k < kDefaultDepthPixels; ++k) depth[k] = static_cast<std::uint16_t>((k * 37) % 8192);
  std::string error;
  ASSERT_TRUE(WriteDepthPng(dir.File("f.png"), depth, kDefaultDepthWidth, kDefaultDepthHeight, &error)) << error;
  std::vector<std::uint16_t> pixels;
  int width = 0, height = 0;
  ASSERT_TRUE(ReadDepthPng(dir.File("f.png"), pixels, &width, &height, &error)) << error;
  for (int k = 0; k < kDefaultDepthPixels; ++k) ASSERT_EQ(pixels[k], depth[k] << 3) << k;
}

TEST(DepthPng, BadFilesAreRefusedWithAReason) {
  TempDir dir;
  auto refused = [&](const std::string& content) {
    testing::WriteFile(dir.File("bad.png"), content);
    std::vector<std::uint16_t> pixels;
    std::string error;
    int width = 0, height = 0;
    EXPECT_FALSE(ReadDepthPng(dir.File("bad.png"), pixels, &width, &height, &error));
    return error;
  };
  auto zero = [](int, int) { return 0u; };
  EXPECT_NE(refused("P5\n320 240\n65535\n").find("not a PNG file"), std::string::npos);
  EXPECT_NE(refused(HandMadePng(320, 240, 8, 0, zero)).find("not a 16-bit greyscale PNG"), std::string::npos);
  EXPECT_NE(refused(HandMadePng(641, 80, 16, 0, zero)).find("641"), std::string::npos);
  EXPECT_NE(refused(HandMadePng(5000, 4000, 16, 0, zero).substr(0, 33)).find("damaged PNG"), std::string::npos);
  const std::string whole = HandMadePng(320, 240, 16, 0, [](int y, int x) { return unsigned(y * x); });
  EXPECT_NE(refused(whole.substr(0, whole.size() / 2)).find("damaged PNG"), std::string::npos);
  std::vector<std::uint16_t> pixels;
  std::string error;
  int width = 0, height = 0;
  EXPECT_FALSE(ReadDepthPng(dir.File("absent.png"), pixels, &width, &height, &error));
  EXPECT_NE(error.find("absent.png"), std::string::npos);
}

}  // namespace
}  // namespace kestrova
