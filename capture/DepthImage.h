// Depth images in millimetres (PGM and PNG files of 16-bit samples) as the
// sensor's 320 x 240 pixels. 320 x 240 images are taken as they are;
// 640 x 480 images are halved by taking every second pixel of every second
// row. Depth in millimetres goes into bits 3 to 15; a depth beyond 8191 mm,
// which the pixel cannot hold, becomes 0, no reading.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrova {

// True when a depth image of this size can become sensor pixels.
bool IsDepthImageSize(long width, long height);
// The reason a size is refused, for messages.
std::string DepthImageSizeProblem(long width, long height);

// `sample(row, column)` gives the depth in millimetres of the image's pixel.
template <typename Sample>
void DepthImageToPixels(long width, const Sample& sample, std::vector<std::uint16_t>& pixels);

}  // namespace kestrova

#include "capture/NuiSensor.h"

namespace kestrova {

template <typename Sample>
void DepthImageToPixels(long width, const Sample& sample, std::vector<std::uint16_t>& pixels) {
  const int step = width == 2 * kDepthWidth ? 2 : 1;
  pixels.assign(kDepthPixels, 0);
  for (int row = 0; row < kDepthHeight; ++row)
    for (int column = 0; column < kDepthWidth; ++column) {
      const unsigned depth = sample(row * step, column * step);
      pixels[row * kDepthWidth + column] = depth > 8191 ? 0 : static_cast<std::uint16_t>(depth << 3);
    }
}

}  // namespace kestrova
