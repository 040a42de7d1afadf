// The arithmetic of the libfreenect backend, kept apart from the device so
// it can be tested without one.
#pragma once

#include <cstdint>

#include "settings/DepthFrameFormat.h"

namespace kestrova {

// libfreenect delivers depth at 640 x 480.
constexpr int kFreenectWidth = 640;
constexpr int kFreenectHeight = 480;

// By default the sensor layer's frames are the default 320 x 240: every
// second pixel of every second row is taken (no averaging, so no depth is
// made up at edges). `depthMm` holds millimetres; a depth beyond what bits
// 3 to 15 can hold (8191 mm) becomes 0, no reading.
void HalveDepthFrame(const std::uint16_t* depthMm, std::uint16_t* pixels);
// At the device's own size (freenect:640x480) every pixel is taken.
void CopyDepthFrame(const std::uint16_t* depthMm, std::uint16_t* pixels);

// The same from raw 11-bit disparity, for devices (and libfreenect's fake
// device) that offer no millimetre mode: converted with the common Kinect
// approximation d = 1000 / (3.3309495161 - 0.0030711016 raw); 2047 means
// no reading.
void HalveRawDisparityFrame(const std::uint16_t* raw, std::uint16_t* pixels);
void CopyRawDisparityFrame(const std::uint16_t* raw, std::uint16_t* pixels);
std::uint16_t RawDisparityToMm(std::uint16_t raw);

// The inverse focal length at `width` pixels across that a device's
// zero-plane values imply. libfreenect's reference pixel size is that of
// the 1280-wide sensor image, so a pixel of the 640-wide depth image is
// twice it, and one of the 320-wide frames four times:
// (1280 / width) * pixelSize / referenceDistance.
double DeviceInverseFocalLength(double referenceDistanceMm, double referencePixelSizeMm, int width = 320);

// libfreenect's frame time stamp counts a 60 MHz clock in 32 bits and wraps
// about every 71.6 s. Between two frames the counter may have wrapped any
// number of times (a camera that stalled, a long gap) or stepped back a
// little; the host's monotonic clock between the two frames picks the number
// of wraps. The result is milliseconds counted from `startMs` at the first
// frame, which never go back: a step back holds the stamp, and a counter that
// disagrees with the host clock by more than a second (one that was reset)
// is replaced by the host's time for that step.
class TimeStampUnwrapper {
 public:
  explicit TimeStampUnwrapper(std::int64_t startMs = 0) : startMs_(startMs) {}
  // `hostMs`: the host's monotonic clock, in milliseconds, when the frame came.
  std::int64_t Milliseconds(std::uint32_t ticks, std::int64_t hostMs);

 private:
  std::int64_t startMs_;
  bool first_ = true;
  std::uint32_t lastTicks_ = 0;
  std::int64_t lastHostMs_ = 0;
  std::int64_t total_ = 0;  // device ticks since the first frame, never falling
};

}  // namespace kestrova
