// Depth frames as 16-bit binary PGM files (Netpbm P5, big-endian samples
// when maxval > 255), holding depth in millimetres, read into sensor pixels
// as DepthImage.h says. The reader treats the file as untrusted: any other
// size, a bad header or a short file is refused with a reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrova {

// Reads `path` into sensor pixels (depth in bits 3 to 15; a depth beyond
// 8191 mm, which the pixel cannot hold, becomes 0, no reading).
// `pixels` becomes the image's width x height sensor pixels.
bool ReadDepthPgm(const std::string& path, std::vector<std::uint16_t>& pixels, int* width, int* height,
                  std::string* error);

// Writes depth in millimetres as a 16-bit PGM of the given size.
bool WriteDepthPgm(const std::string& path, const std::vector<std::uint16_t>& depthMm, int width,
                   int height, std::string* error);

}  // namespace kestrova
