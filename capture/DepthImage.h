// Depth images in millimetres (PGM and PNG files of 16-bit samples) as
// sensor pixels of the image's own size, 1 to 640 x 1 to 480: depth in
// millimetres goes into bits 3 to 15; a depth beyond 8191 mm, which the
// pixel cannot hold, becomes 0, no reading.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/DepthFrameFormat.h"

namespace kestrova {

// True when a depth image of this size can become sensor pixels.
bool IsDepthImageSize(long width, long height);
// The reason a size is refused, for messages.
std::string DepthImageSizeProblem(long width, long height);

// `sample(row, column)` gives the depth in millimetres of the image's pixel;
// `pixels` becomes width x height sensor pixels, row after row.
template <typename Sample>
void DepthImageToPixels(long width, long height, const Sample& sample, std::vector<std::uint16_t>& pixels) {
  pixels.resize(static_cast<std::size_t>(width) * height);
  for (long row = 0; row < height; ++row)
    for (long column = 0; column < width; ++column)
      pixels[static_cast<std::size_t>(row) * width + column] = DepthPixel(sample(row, column));
}

}  // namespace kestrova
