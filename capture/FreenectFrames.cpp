#include "capture/FreenectFrames.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace kestrova {

namespace {
constexpr int kHalfWidth = kFreenectWidth / 2, kHalfHeight = kFreenectHeight / 2;
}  // namespace

void HalveDepthFrame(const std::uint16_t* depthMm, std::uint16_t* pixels) {
  for (int row = 0; row < kHalfHeight; ++row) {
    const std::uint16_t* source = depthMm + static_cast<size_t>(2 * row) * kFreenectWidth;
    std::uint16_t* target = pixels + row * kHalfWidth;
    for (int column = 0; column < kHalfWidth; ++column) target[column] = DepthPixel(source[2 * column]);
  }
}

void CopyDepthFrame(const std::uint16_t* depthMm, std::uint16_t* pixels) {
  for (int k = 0; k < kFreenectWidth * kFreenectHeight; ++k) pixels[k] = DepthPixel(depthMm[k]);
}

std::uint16_t RawDisparityToMm(std::uint16_t raw) {
  if (raw >= 2047) return 0;
  const double denominator = 3.3309495161 - 0.0030711016 * raw;
  if (denominator <= 0) return 0;
  const double mm = 1000.0 / denominator;
  return mm > 8191 ? 0 : static_cast<std::uint16_t>(std::lround(mm));
}

void HalveRawDisparityFrame(const std::uint16_t* raw, std::uint16_t* pixels) {
  for (int row = 0; row < kHalfHeight; ++row) {
    const std::uint16_t* source = raw + static_cast<size_t>(2 * row) * kFreenectWidth;
    std::uint16_t* target = pixels + row * kHalfWidth;
    for (int column = 0; column < kHalfWidth; ++column)
      target[column] = DepthPixel(RawDisparityToMm(source[2 * column]));
  }
}

void CopyRawDisparityFrame(const std::uint16_t* raw, std::uint16_t* pixels) {
  for (int k = 0; k < kFreenectWidth * kFreenectHeight; ++k) pixels[k] = DepthPixel(RawDisparityToMm(raw[k]));
}

double DeviceInverseFocalLength(double referenceDistanceMm, double referencePixelSizeMm, int width) {
  return 1280.0 / width * referencePixelSizeMm / referenceDistanceMm;
}

std::int64_t TimeStampUnwrapper::Milliseconds(std::uint32_t ticks, std::int64_t hostMs) {
  constexpr std::int64_t kTicksPerMs = 60000;
  constexpr std::int64_t kWrap = std::int64_t{1} << 32;
  // Frames reach the host within a fraction of a second of being stamped.
  constexpr std::int64_t kTrustedTicks = 1000 * kTicksPerMs;
  if (first_) {
    first_ = false;
  } else {
    const std::int64_t step = static_cast<std::uint32_t>(ticks - lastTicks_);  // 0 .. 2^32 - 1
    const std::int64_t hostTicks = std::max<std::int64_t>(0, hostMs - lastHostMs_) * kTicksPerMs;
    // The wraps that bring the device's step nearest the host's; -1 is a step back.
    const std::int64_t wraps =
        std::max<std::int64_t>(-1, std::llround(static_cast<double>(hostTicks - step) / kWrap));
    std::int64_t elapsed = step + wraps * kWrap;
    if (std::llabs(elapsed - hostTicks) > kTrustedTicks) elapsed = hostTicks;
    total_ += std::max<std::int64_t>(0, elapsed);
  }
  lastTicks_ = ticks;
  lastHostMs_ = hostMs;
  return startMs_ + total_ / kTicksPerMs;
}

}  // namespace kestrova
