// What the fake OpenNI2 driver's devices deliver, shared by the driver and
// the tests that check the frames. The driver is configured through the
// environment variable KESTROVA_FAKE_ONI, items separated by commas:
//   devices=N       N devices (1 to 4, default 2), URIs kestrova-fake://1..N,
//                   serials FAKE000N, offered in reverse order (N first)
//   size=WxH        every device's depth mode (default 640x480)
//   fps=F           frames per second (default 30)
//   vanish=D@F      device D disconnects after F frames
//   busy=D          device D refuses to open, as one held by another program
//   pad=D           device D's rows carry 32 bytes of padding
//   tenths=D        device D offers 100 micrometre depth only
//   nocrop=D        device D's stream has no cropping property (as some
//                   drivers' streams)
//   frames=F        every device sends frames 0 to F - 1, then no more
// Every device starts with mirroring on and mirrors its frames while it is.
#pragma once

#include <cmath>
#include <cstdint>

namespace kestrova::fakeoni {

// A device property of the fake (int): how many frames its depth stream
// has handed to OpenNI2.
constexpr int kFramesSentProperty = 0x4b530001;

// The field of view that gives fx = fy = 500 pixels at 640 x 480.
inline float HorizontalFov(int width) { return static_cast<float>(2 * std::atan(width / 2.0 / (500.0 * width / 640))); }
inline float VerticalFov(int width, int height) {
  return static_cast<float>(2 * std::atan(height / 2.0 / (500.0 * width / 640)));
}

// The depth in millimetres at column u and row v of frame n of device d
// (1 to 4), unmirrored: a slope of 900 to 3000 mm, 0 (no reading) at the
// top-left pixel, and 9000 mm (beyond what a pixel holds) at the last.
inline std::uint16_t DepthMm(int device, int frame, int u, int v, int width, int height) {
  if (u == 0 && v == 0) return 0;
  if (u == width - 1 && v == height - 1) return 9000;
  return static_cast<std::uint16_t>(900 + 100 * device + (u * 3 + v * 2 + frame) % 2000);
}

// The device's frame time stamp in microseconds.
inline std::uint64_t StampUs(int device, int frame, int fps) {
  return 1000000ull * device + static_cast<std::uint64_t>(frame) * 1000000ull / static_cast<unsigned>(fps);
}

}  // namespace kestrova::fakeoni
