#include "capture/FreenectFrames.h"

#include <cmath>

#include "capture/NuiSensor.h"

namespace kestrova {

namespace {
constexpr int kFullWidth = 2 * kDepthWidth;

std::uint16_t Pixel(unsigned depthMm) {
  return depthMm > 8191 ? 0 : static_cast<std::uint16_t>(depthMm << 3);
}
}  // namespace

void HalveDepthFrame(const std::uint16_t* depthMm, std::uint16_t* pixels) {
  for (int row = 0; row < kDepthHeight; ++row) {
    const std::uint16_t* source = depthMm + static_cast<size_t>(2 * row) * kFullWidth;
    std::uint16_t* target = pixels + row * kDepthWidth;
    for (int column = 0; column < kDepthWidth; ++column) target[column] = Pixel(source[2 * column]);
  }
}

std::uint16_t RawDisparityToMm(std::uint16_t raw) {
  if (raw >= 2047) return 0;
  const double denominator = 3.3309495161 - 0.0030711016 * raw;
  if (denominator <= 0) return 0;
  const double mm = 1000.0 / denominator;
  return mm > 8191 ? 0 : static_cast<std::uint16_t>(std::lround(mm));
}

void HalveRawDisparityFrame(const std::uint16_t* raw, std::uint16_t* pixels) {
  for (int row = 0; row < kDepthHeight; ++row) {
    const std::uint16_t* source = raw + static_cast<size_t>(2 * row) * kFullWidth;
    std::uint16_t* target = pixels + row * kDepthWidth;
    for (int column = 0; column < kDepthWidth; ++column)
      target[column] = Pixel(RawDisparityToMm(source[2 * column]));
  }
}

std::int64_t TimeStampUnwrapper::Milliseconds(std::uint32_t ticks) {
  if (first_) {
    first_ = false;
  } else {
    total_ += static_cast<std::uint32_t>(ticks - last_);  // modulo 2^32: across a wrap too
  }
  last_ = ticks;
  return startMs_ + static_cast<std::int64_t>(total_ / 60000);
}

}  // namespace kestrova
