#include "capture/DepthConversion.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "capture/NuiSensor.h"

namespace kestrova {

namespace {

// (column - 160) * c and (120 - row) * c, exact in double (an integer of at
// most 9 bits times a 24-bit float), so x = (float)(columnFactor * z) is the
// same single rounding of the exact product as the formula.
struct ConversionTables {
  std::array<double, kDepthWidth> column;
  std::array<double, kDepthHeight> row;
  std::array<float, 1024> z;  // z for every value of floor(d / 8)

  ConversionTables() {
    const double c = kInverseFocalLength;
    for (int i = 0; i < kDepthWidth; ++i) column[i] = (i - 160) * c;
    for (int i = 0; i < kDepthHeight; ++i) row[i] = (120 - i) * c;
    for (int q = 0; q < 1024; ++q) z[q] = static_cast<float>(q / 1000.0);
  }
};

const ConversionTables& Tables() {
  static const ConversionTables tables;
  return tables;
}

}  // namespace

int DepthLimit(float maxDepthPercent) {
  double limit = std::floor(static_cast<double>(maxDepthPercent) * 8192.0 / 100.0);
  if (std::isnan(limit)) return -1;
  if (limit >= std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (limit <= std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(limit);
}

void ConvertDepthFrame(const std::uint16_t* pixels, int pixelCount, int limit,
                       pcl::PointCloud<pcl::PointXYZ>& cloud) {
  const ConversionTables& t = Tables();
  auto& points = cloud.points;
  points.clear();
  points.reserve(kDepthPixels);
  const int count = std::min(pixelCount, kDepthPixels);
  for (int rowStart = 0, row = 0; rowStart < count; rowStart += kDepthWidth, ++row) {
    const std::uint16_t* line = pixels + rowStart;
    const int width = std::min(kDepthWidth, count - rowStart);
    const double rowFactor = t.row[row];
    for (int column = 0; column < width; ++column) {
      const int d = line[column] >> 3;
      if (d > limit) continue;  // the integer test comes before any float work
      const float z = t.z[d >> 3];
      points.emplace_back(static_cast<float>(t.column[column] * z),
                          static_cast<float>(rowFactor * z), z);
    }
  }
  cloud.width = static_cast<std::uint32_t>(points.size());
  cloud.height = 1;
  cloud.is_dense = true;
}

}  // namespace kestrova
