#include "capture/DepthConversion.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace kestrova {

namespace {

// z for every value of floor(d / 8).
const std::array<float, 1024>& DepthSteps() {
  static const std::array<float, 1024> steps = [] {
    std::array<float, 1024> z{};
    for (int q = 0; q < 1024; ++q) z[q] = static_cast<float>(q / 1000.0);
    return z;
  }();
  return steps;
}

// (column - cx) * cu and (cy - row) * cv of one lens, worked out per frame
// (a few hundred products against a frame's tens of thousands of pixels).
// With an axis at whole or half pixels they are exact in double (a number
// of at most 11 bits times a 24-bit float), so x = (float)(factor * z) is
// the single rounding of the exact product that the formula asks for.
struct LensFactors {
  std::array<double, kMaxDepthWidth> column;
  std::array<double, kMaxDepthHeight> row;

  LensFactors(const DepthFrameFormat& format) {
    const double cu = InverseFocalLength(format.lens.fx);
    const double cv = InverseFocalLength(format.lens.fy);
    for (int i = 0; i < format.width; ++i) column[i] = (i - format.lens.cx) * cu;
    for (int i = 0; i < format.height; ++i) row[i] = (format.lens.cy - i) * cv;
  }
};

}  // namespace

int DepthLimit(float maxDepthPercent) {
  double limit = std::floor(static_cast<double>(maxDepthPercent) * 8192.0 / 100.0);
  if (std::isnan(limit)) return -1;
  if (limit >= std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (limit <= std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(limit);
}

float InverseFocalLength(double focalLength) { return static_cast<float>(1.0 / focalLength); }

void ConvertDepthFrame(const DepthFrameView& frame, int limit, pcl::PointCloud<pcl::PointXYZ>& cloud,
                       CloudBounds* bounds) {
  const DepthFrameFormat& format = frame.format;
  const std::array<float, 1024>& steps = DepthSteps();
  const LensFactors factors(format);
  auto& points = cloud.points;
  points.clear();
  points.reserve(static_cast<std::size_t>(format.Pixels()));
  // The bounds come along at the cost of a few comparisons, sparing the
  // thinning a pass over the points.
  const float top = std::numeric_limits<float>::max();
  float low[3] = {top, top, top}, high[3] = {-top, -top, -top};
  for (int row = 0; row < format.height; ++row) {
    const std::uint16_t* line = frame.pixels + static_cast<std::size_t>(row) * format.rowStride;
    const double rowFactor = factors.row[row];
    for (int column = 0; column < format.width; ++column) {
      const int d = line[column] >> kDepthPixelShift;
      if (d > limit) continue;  // the integer test comes before any float work
      const float z = steps[d >> 3];
      const float x = static_cast<float>(factors.column[column] * z), y = static_cast<float>(rowFactor * z);
      points.emplace_back(x, y, z);
      low[0] = std::min(low[0], x), high[0] = std::max(high[0], x);
      low[1] = std::min(low[1], y), high[1] = std::max(high[1], y);
      low[2] = std::min(low[2], z), high[2] = std::max(high[2], z);
    }
  }
  cloud.width = static_cast<std::uint32_t>(points.size());
  cloud.height = 1;
  cloud.is_dense = true;
  if (bounds) {
    bounds->min << low[0], low[1], low[2], 0;
    bounds->max << high[0], high[1], high[2], 0;
  }
}

}  // namespace kestrova
