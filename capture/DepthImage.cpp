#include "capture/DepthImage.h"

namespace kestrova {

bool IsDepthImageSize(long width, long height) {
  return width >= 1 && width <= kMaxDepthWidth && height >= 1 && height <= kMaxDepthHeight;
}

std::string DepthImageSizeProblem(long width, long height) {
  return "frame is " + std::to_string(width) + " x " + std::to_string(height) + ", expected at most " +
         SizeText(kMaxDepthWidth, kMaxDepthHeight);
}

}  // namespace kestrova
