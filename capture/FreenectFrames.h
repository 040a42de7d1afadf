// The arithmetic of the libfreenect backend, kept apart from the device so
// it can be tested without one.
#pragma once

#include <cstdint>

namespace kestrova {

// libfreenect delivers depth at 640 x 480. The sensor layer's frames are
// 320 x 240: every second pixel of every second row is taken (no averaging,
// so no depth is made up at edges). `depthMm` holds millimetres; a depth
// beyond what bits 3 to 15 can hold (8191 mm) becomes 0, no reading.
void HalveDepthFrame(const std::uint16_t* depthMm, std::uint16_t* pixels);

// The same from raw 11-bit disparity, for devices (and libfreenect's fake
// device) that offer no millimetre mode: converted with the common Kinect
// approximation d = 1000 / (3.3309495161 - 0.0030711016 raw); 2047 means
// no reading.
void HalveRawDisparityFrame(const std::uint16_t* raw, std::uint16_t* pixels);
std::uint16_t RawDisparityToMm(std::uint16_t raw);

// libfreenect's frame time stamp counts a 60 MHz clock in 32 bits and wraps
// about every 71.6 s. This turns successive stamps into milliseconds that go
// on rising across wraps, counted from `startMs` at the first frame.
class TimeStampUnwrapper {
 public:
  explicit TimeStampUnwrapper(std::int64_t startMs = 0) : startMs_(startMs) {}
  std::int64_t Milliseconds(std::uint32_t ticks);

 private:
  std::int64_t startMs_;
  bool first_ = true;
  std::uint32_t last_ = 0;
  std::uint64_t total_ = 0;  // ticks since the first frame
};

}  // namespace kestrova
