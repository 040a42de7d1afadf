#include "settings/DepthFrameFormat.h"

#include <cmath>

namespace kestrova {

namespace {

bool Finite(const DepthLens& lens) {
  return std::isfinite(lens.fx) && std::isfinite(lens.fy) && std::isfinite(lens.cx) && std::isfinite(lens.cy);
}

}  // namespace

DepthLens DefaultDepthLens() {
  const double focal = 1.0 / static_cast<double>(kDefaultInverseFocalLength);
  return {focal, focal, kDefaultDepthWidth / 2.0, kDefaultDepthHeight / 2.0};
}

DepthLens ScaledDefaultLens(int width, int height) {
  // The scale is exact for 320 and 640, so those sizes keep the default's numbers.
  const double focal =
      1.0 / static_cast<double>(kDefaultInverseFocalLength) * (static_cast<double>(width) / kDefaultDepthWidth);
  return {focal, focal, width / 2.0, height / 2.0};
}

DepthLens LensFromFieldOfView(int width, int height, double horizontalFov, double verticalFov) {
  return {width / 2.0 / std::tan(horizontalFov / 2), height / 2.0 / std::tan(verticalFov / 2), width / 2.0,
          height / 2.0};
}

DepthFrameFormat PackedFormat(int width, int height, const DepthLens& lens) {
  DepthFrameFormat format;
  format.width = width;
  format.height = height;
  format.rowStride = width;
  format.lens = lens;
  return format;
}

DepthFrameFormat ScaledDefaultFormat(int width, int height) {
  return PackedFormat(width, height, ScaledDefaultLens(width, height));
}

bool operator==(const DepthLens& a, const DepthLens& b) {
  return a.fx == b.fx && a.fy == b.fy && a.cx == b.cx && a.cy == b.cy;
}

bool SameFrames(const DepthFrameFormat& a, const DepthFrameFormat& b) {
  return a.width == b.width && a.height == b.height && a.depthUnitMm == b.depthUnitMm && a.lens == b.lens;
}

std::string SizeText(int width, int height) { return std::to_string(width) + " x " + std::to_string(height); }

std::string DepthFormatProblem(const DepthFrameFormat& format) {
  if (format.width < 1 || format.width > kMaxDepthWidth || format.height < 1 || format.height > kMaxDepthHeight)
    return "frames of " + SizeText(format.width, format.height) + " pixels (at most " +
           SizeText(kMaxDepthWidth, kMaxDepthHeight) + " are taken)";
  if (format.rowStride < format.width) return "rows shorter than the frame is wide";
  if (format.depthUnitMm != 1) return "depth in units other than millimetres";
  if (!Finite(format.lens) || !(format.lens.fx > 0) || !(format.lens.fy > 0))
    return "a lens without finite, positive focal lengths";
  // The conversion works with 1 / f as a float.
  if (!std::isfinite(static_cast<float>(1.0 / format.lens.fx)) || !std::isfinite(static_cast<float>(1.0 / format.lens.fy)))
    return "a lens whose focal lengths are too small to take";
  return std::string();
}

}  // namespace kestrova
