#include "capture/DepthImage.h"

namespace kestrova {

bool IsDepthImageSize(long width, long height) {
  return (width == kDepthWidth && height == kDepthHeight) ||
         (width == 2 * kDepthWidth && height == 2 * kDepthHeight);
}

std::string DepthImageSizeProblem(long width, long height) {
  return "frame is " + std::to_string(width) + " x " + std::to_string(height) +
         ", expected 320 x 240 or 640 x 480";
}

}  // namespace kestrova
