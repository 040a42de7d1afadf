#include "capture/DepthIntrinsics.h"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>

#include "record/TakeLens.h"
#include "record/TakeReader.h"

namespace kestrova {

namespace {

constexpr long kMaxIntrinsicsBytes = 64 * 1024;
const char* const kRequiredKeys[] = {"width", "height", "fx", "fy", "cx", "cy"};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

bool ParseNumber(const std::string& text, double* value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, *value);
  return error == std::errc() && stop == end && std::isfinite(*value);
}

}  // namespace

std::string FormatIntrinsicsText(const DepthIntrinsics& i) {
  return "# Kestrova depth intrinsics 1: the pinhole lens of these depth images in pixels (y down, as "
         "Open3D and OpenCV take it), depth_scale their depth units per metre\n"
         "width " + std::to_string(i.width) + "\nheight " + std::to_string(i.height) + "\nfx " +
         ExactNumberText(i.lens.fx) + "\nfy " + ExactNumberText(i.lens.fy) + "\ncx " + ExactNumberText(i.lens.cx) +
         "\ncy " + ExactNumberText(i.lens.cy) + "\ndepth_scale " + ExactNumberText(i.depthScale) + "\n";
}

std::string FormatIntrinsicsJson(const DepthIntrinsics& i) {
  return "{\n  \"width\": " + std::to_string(i.width) + ",\n  \"height\": " + std::to_string(i.height) +
         ",\n  \"intrinsic_matrix\": [" + ExactNumberText(i.lens.fx) + ", 0, 0, 0, " + ExactNumberText(i.lens.fy) +
         ", 0, " + ExactNumberText(i.lens.cx) + ", " + ExactNumberText(i.lens.cy) +
         ", 1],\n  \"depth_scale\": " + ExactNumberText(i.depthScale) + "\n}\n";
}

bool ReadIntrinsicsText(const std::string& path, DepthIntrinsics* intrinsics, std::string* error) {
  std::string reason;
  std::unique_ptr<std::FILE, FileCloser> file(OpenRegularStream(path, &reason));
  if (!file) {
    *error = path + ": " + reason;
    return false;
  }
  std::string text(kMaxIntrinsicsBytes + 1, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), file.get()));
  if (static_cast<long>(text.size()) > kMaxIntrinsicsBytes) {
    *error = path + ": larger than an intrinsics file (64 KiB)";
    return false;
  }
  std::map<std::string, double> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string key, value, extra;
    if (!(words >> key) || key[0] == '#') continue;
    double number = 0;
    if (!(words >> value) || !ParseNumber(value, &number) || (words >> extra)) {
      *error = path + ": '" + key + "' is not followed by one number";
      return false;
    }
    values[key] = number;
  }
  for (const char* key : kRequiredKeys) {
    if (!values.count(key)) {
      *error = path + ": no " + key;
      return false;
    }
  }
  const double width = values["width"], height = values["height"];
  if (!(width >= 1 && width <= kMaxDepthWidth && height >= 1 && height <= kMaxDepthHeight) ||
      width != std::floor(width) || height != std::floor(height)) {
    *error = path + ": frames of " + ExactNumberText(width) + " x " + ExactNumberText(height) +
             " pixels are not ones a sensor delivers (whole pixels, at most " +
             SizeText(kMaxDepthWidth, kMaxDepthHeight) + ")";
    return false;
  }
  const DepthFrameFormat format = PackedFormat(static_cast<int>(width), static_cast<int>(height),
                                               {values["fx"], values["fy"], values["cx"], values["cy"]});
  std::string problem = DepthFormatProblem(format);
  const double scale = values.count("depth_scale") ? values["depth_scale"] : kImageDepthScale;
  if (problem.empty() && scale != kImageDepthScale)
    problem = "depth_scale " + ExactNumberText(scale) + ": the images must hold millimetres (1000)";
  if (!problem.empty()) {
    *error = path + ": " + problem;
    return false;
  }
  *intrinsics = {format.width, format.height, format.lens, scale};
  return true;
}

}  // namespace kestrova
