// A depth frame that describes itself: its size, how its rows lie in memory,
// what its pixels mean, and the lens that made it. Every depth frame in the
// system carries one, from the sensor that delivers it through the pipeline
// that converts it to the take that keeps it.
//
// Pixels are 16 bits: the depth in bits 3 to 15, counted in `depthUnitMm`
// millimetres (every sensor delivers millimetres), and bits 0 to 2 as the
// sensor gave them. The lens is the pinhole model in pixels: the pixel at
// column u and row v, at depth z, sees the point ((u - cx) / fx * z,
// (cy - v) / fy * z, z), y growing towards the top row.
//
// This is the one place that names the frame sizes: the default, at which
// the recorder was designed (320 x 240 with its fixed lens), and the
// largest a sensor may deliver (readers of untrusted files refuse more).
#pragma once

#include <cstdint>
#include <string>

namespace kestrova {

constexpr int kDefaultDepthWidth = 320;
constexpr int kDefaultDepthHeight = 240;
constexpr int kDefaultDepthPixels = kDefaultDepthWidth * kDefaultDepthHeight;
constexpr int kMaxDepthWidth = 640;
constexpr int kMaxDepthHeight = 480;
constexpr int kMaxDepthPixels = kMaxDepthWidth * kMaxDepthHeight;

// The depth's place in a pixel: bits 3 to 15.
constexpr int kDepthPixelShift = 3;
// The deepest a pixel holds (13 bits); deeper readings become 0, no reading.
constexpr unsigned kMaxPixelDepth = 8191;

// The inverse focal length of the default 320 x 240 frame, per pixel, held
// as a single-precision number.
constexpr float kDefaultInverseFocalLength = 0.003501f;

struct DepthLens {
  double fx = 0, fy = 0;  // focal lengths, pixels
  double cx = 0, cy = 0;  // the optical axis: column and row
};

// The default frame's lens: fx = fy = 1 / 0.003501, the axis at column 160, row 120.
DepthLens DefaultDepthLens();
// The default lens's field of view at another frame size: focal lengths
// scaled by width / 320, the axis at the frame's middle (width / 2, height / 2).
DepthLens ScaledDefaultLens(int width, int height);
// A lens of the given fields of view (radians, whole angles), the axis at
// the middle: fx = (width / 2) / tan(hfov / 2), and likewise fy.
DepthLens LensFromFieldOfView(int width, int height, double horizontalFov, double verticalFov);

struct DepthFrameFormat {
  int width = kDefaultDepthWidth;
  int height = kDefaultDepthHeight;
  int rowStride = kDefaultDepthWidth;  // pixels from one row's start to the next
  double depthUnitMm = 1;              // millimetres per step of the depth in bits 3 to 15
  DepthLens lens = DefaultDepthLens();

  int Pixels() const { return width * height; }
  // The pixels a buffer of this format holds, padding included.
  std::size_t BufferPixels() const { return static_cast<std::size_t>(rowStride) * height; }
};

// A format of `width` x `height`, rows packed, in millimetres, with `lens`.
DepthFrameFormat PackedFormat(int width, int height, const DepthLens& lens);
// The default format's field of view at another size (ScaledDefaultLens).
DepthFrameFormat ScaledDefaultFormat(int width, int height);

// The same frames: size, depth unit and lens (the row stride aside).
bool SameFrames(const DepthFrameFormat& a, const DepthFrameFormat& b);
bool operator==(const DepthLens& a, const DepthLens& b);
inline bool operator!=(const DepthLens& a, const DepthLens& b) { return !(a == b); }

// Empty when the format is one the pipeline takes: 1 to 640 x 1 to 480
// pixels, a row stride of at least the width, millimetres, a lens of
// finite numbers with positive focal lengths. Else the reason.
std::string DepthFormatProblem(const DepthFrameFormat& format);
// "640 x 480"
std::string SizeText(int width, int height);

// One frame's pixels with its format: `pixels` holds format.BufferPixels() values.
struct DepthFrameView {
  const std::uint16_t* pixels = nullptr;
  DepthFrameFormat format;
  // The pixel at `column` and `row`.
  std::uint16_t At(int column, int row) const {
    return pixels[static_cast<std::size_t>(row) * format.rowStride + column];
  }
};

// A pixel holding `depthMm` millimetres, 0 (no reading) beyond what it can hold.
inline std::uint16_t DepthPixel(unsigned depthMm) {
  return depthMm > kMaxPixelDepth ? 0 : static_cast<std::uint16_t>(depthMm << kDepthPixelShift);
}

}  // namespace kestrova
