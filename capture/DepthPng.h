// Depth frames as 16-bit greyscale PNG files holding depth in millimetres,
// the form other depth tools read and write. Read into sensor pixels as
// DepthImage.h says; the file is untrusted: any other size, colour type or
// bit depth, a damaged or short file is refused with a reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrova {

// `pixels` becomes the image's width x height sensor pixels.
bool ReadDepthPng(const std::string& path, std::vector<std::uint16_t>& pixels, int* width, int* height,
                  std::string* error);

// Writes depth in millimetres as a 16-bit greyscale PNG of the given size.
bool WriteDepthPng(const std::string& path, const std::vector<std::uint16_t>& depthMm, int width,
                   int height, std::string* error);

}  // namespace kestrova
