#include "capture/VoxelThinning.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <pcl/filters/voxel_grid.h>

namespace kestrova {

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// Scaled coordinates below this in magnitude are exact integers once
// floored, as are their differences, so integer cell numbers are the
// library's float ones.
constexpr float kExactCells = 8388608.0f;  // 2^23

// floor(v) for |v| < 2^31, without a library call.
inline int Floor(float v) {
  const int i = static_cast<int>(v);
  return i - (v < static_cast<float>(i));
}

inline bool Finite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// The voxel grid's cell number of a point: the floor of each coordinate
// times the inverse leaf, less the lowest cell, x + y * nx + z * nx * ny.
// Exact in integers while the scaled coordinates stay below 2^23.
class CellNumbering {
 public:
  CellNumbering(float inverse, const int lowest[3], const std::uint32_t multiplier[3]) {
#if defined(__SSE2__)
    inverse_ = _mm_set1_ps(inverse);
    lowest_ = _mm_setr_epi32(lowest[0], lowest[1], lowest[2], 0);
#else
    inverse_ = inverse;
    for (int axis = 0; axis < 3; ++axis) lowest_[axis] = lowest[axis];
#endif
    ny_ = multiplier[1];
    nxy_ = multiplier[2];
  }

  std::uint32_t operator()(const pcl::PointXYZ& p) const {
#if defined(__SSE2__)
    // All three axes at once: truncate, then step down where that rounded up.
    const __m128 scaled = _mm_mul_ps(_mm_load_ps(p.data), inverse_);
    __m128i cell = _mm_cvttps_epi32(scaled);
    cell = _mm_add_epi32(cell, _mm_castps_si128(_mm_cmplt_ps(scaled, _mm_cvtepi32_ps(cell))));
    cell = _mm_sub_epi32(cell, lowest_);
    const int x = _mm_cvtsi128_si32(cell);
    const int y = _mm_cvtsi128_si32(_mm_shuffle_epi32(cell, 1));
    const int z = _mm_cvtsi128_si32(_mm_shuffle_epi32(cell, 2));
#else
    const int x = Floor(p.x * inverse_) - lowest_[0];
    const int y = Floor(p.y * inverse_) - lowest_[1];
    const int z = Floor(p.z * inverse_) - lowest_[2];
#endif
    // Unsigned, as the library's cell numbers are once computed: a grid
    // may have more cells than an int counts (see VoxelThinning::filter).
    return static_cast<std::uint32_t>(x) + static_cast<std::uint32_t>(y) * ny_ + static_cast<std::uint32_t>(z) * nxy_;
  }

 private:
#if defined(__SSE2__)
  __m128 inverse_;
  __m128i lowest_;
#else
  float inverse_;
  int lowest_[3];
#endif
  std::uint32_t ny_, nxy_;
};

}  // namespace

// pcl::getMinMax3D's result (the finite points of a cloud that is not
// dense), in a loop the compiler can keep in registers.
CloudBounds BoundsOf(const Cloud& cloud) {
  const float top = std::numeric_limits<float>::max();
  CloudBounds bounds;
#if defined(__SSE2__)
  // A point's four floats at once (the fourth is padding, left out below).
  __m128 low = _mm_set1_ps(top), high = _mm_set1_ps(-top);
  for (const pcl::PointXYZ& p : cloud.points) {
    if (!cloud.is_dense && !Finite(p)) continue;
    const __m128 v = _mm_load_ps(p.data);
    low = _mm_min_ps(v, low);  // a NaN in v leaves the bound as it was
    high = _mm_max_ps(v, high);
  }
  _mm_storeu_ps(bounds.min.data(), low);
  _mm_storeu_ps(bounds.max.data(), high);
#else
  float low[3] = {top, top, top}, high[3] = {-top, -top, -top};
  for (const pcl::PointXYZ& p : cloud.points) {
    if (!cloud.is_dense && !Finite(p)) continue;
    for (int axis = 0; axis < 3; ++axis) {
      low[axis] = std::min(low[axis], p.data[axis]);
      high[axis] = std::max(high[axis], p.data[axis]);
    }
  }
  bounds.min << low[0], low[1], low[2], 0;
  bounds.max << high[0], high[1], high[2], 0;
#endif
  bounds.min[3] = bounds.max[3] = 0;
  return bounds;
}

bool CanThin(const CloudBounds& bounds, float leaf) {
  if (!std::isfinite(leaf) || leaf <= 0) return false;
  const float inverse = 1.0f / leaf;
  std::int64_t cells = 1;
  for (int axis = 0; axis < 3; ++axis) {
    const float span = (bounds.max[axis] - bounds.min[axis]) * inverse;
    if (!(span < static_cast<float>(std::numeric_limits<std::int32_t>::max()))) return false;
    cells *= static_cast<std::int64_t>(span) + 1;
    if (cells > std::numeric_limits<std::int32_t>::max()) return false;
  }
  return true;
}

bool VoxelThinning::filter(const Cloud& input, const CloudBounds& bounds, Cloud& output) {
  output.header = input.header;
  // No finite point (an empty cloud, or one of NaNs that is not dense).
  if (input.empty() || !(bounds.min.head<3>().array() <= bounds.max.head<3>().array()).all()) {
    output.clear();
    return true;
  }
  if (!CanThin(bounds, leaf_)) return false;
  const float inverse = 1.0f / leaf_;
  int lowest[3];
  std::uint32_t multiplier[3];
  std::uint64_t cells = 1;
  bool exact = true;
  for (int axis = 0; axis < 3; ++axis) {
    const float low = bounds.min[axis] * inverse, high = bounds.max[axis] * inverse;
    exact = exact && std::abs(low) < kExactCells && std::abs(high) < kExactCells;
    if (!exact) break;
    lowest[axis] = Floor(low);
    multiplier[axis] = static_cast<std::uint32_t>(cells);
    cells *= static_cast<std::uint64_t>(Floor(high) - lowest[axis] + 1);
  }
  // The library's guard counts cells from the bounds' span, its numbers from
  // the floored ends, which may give a few more: past 2^32 - 1 of them its
  // numbers wrap (and one might be kFree). Such clouds, and those beyond
  // exact integers, go to the library itself.
  if (!exact || cells >= kFree) {
    pcl::VoxelGrid<pcl::PointXYZ> grid;
    grid.setLeafSize(leaf_, leaf_, leaf_);
    grid.setInputCloud(Cloud::ConstPtr(Cloud::ConstPtr(), &input));
    grid.filter(output);
    return true;
  }

  Forget();  // the last frame's slots (also after a frame cut short by an exception)
  order_.clear();
  usedSlots_.clear();
  if (table_.empty()) {
    tableBits_ = 12;
    table_.assign(std::size_t(1) << tableBits_, Slot{kFree, 0});
  }
  const bool dense = input.is_dense;
  // Neighbouring pixels mostly share a cell: its sums stay in registers
  // until a point of another cell comes (the same additions, in the same
  // order, as adding each point into the cell).
  std::uint32_t key = kFree, largestKey = 0;
  Cell sum{0, 0, 0, 0};
  Cell* open = nullptr;
  const CellNumbering number(inverse, lowest, multiplier);
  for (const pcl::PointXYZ& p : input.points) {
    if (!dense && !Finite(p)) continue;
    const std::uint32_t pointKey = number(p);
    if (pointKey != key) {
      if (open) *open = sum;
      key = pointKey;
      largestKey = std::max(largestKey, key);
      const Found found = CellOf(key);
      open = &cells_[found.cell];
      sum = found.fresh ? Cell{0, 0, 0, 0} : *open;  // a new cell's memory is not read
    }
    sum.x += p.x;
    sum.y += p.y;
    sum.z += p.z;
    ++sum.count;
  }
  if (open) *open = sum;

  SortCells(largestKey);
  output.points.resize(order_.size());
  for (std::size_t i = 0; i < order_.size(); ++i) {
    const Cell& cell = cells_[static_cast<std::uint32_t>(order_[i])];
    const float count = static_cast<float>(cell.count);
    output.points[i] = pcl::PointXYZ(cell.x / count, cell.y / count, cell.z / count);
  }
  output.width = static_cast<std::uint32_t>(output.points.size());
  output.height = 1;
  output.is_dense = true;
  return true;
}

// The cell of `key`, made when first met.
VoxelThinning::Found VoxelThinning::CellOf(std::uint32_t key) {
  const std::uint32_t mask = static_cast<std::uint32_t>(table_.size() - 1);
  std::uint32_t at = (key * 2654435761u) >> (32 - tableBits_);
  while (table_[at].key != kFree) {
    if (table_[at].key == key) return Found{table_[at].cell, false};
    at = (at + 1) & mask;
  }
  const std::uint32_t cell = static_cast<std::uint32_t>(order_.size());
  table_[at] = Slot{key, cell};
  usedSlots_.push_back(at);
  order_.push_back(static_cast<std::uint64_t>(key) << 32 | cell);
  // Cells are written when their first point leaves them; the storage only grows.
  if (cells_.size() <= cell) cells_.resize(std::max<std::size_t>(4096, 2 * cells_.size()));
  // At most half full, so that a probe stays short.
  if (order_.size() * 2 > table_.size()) Grow();
  return Found{cell, true};
}

void VoxelThinning::Grow() {
  ++tableBits_;
  table_.assign(std::size_t(1) << tableBits_, Slot{kFree, 0});
  usedSlots_.clear();
  const std::uint32_t mask = static_cast<std::uint32_t>(table_.size() - 1);
  for (std::uint64_t entry : order_) {
    const std::uint32_t key = static_cast<std::uint32_t>(entry >> 32);
    std::uint32_t at = (key * 2654435761u) >> (32 - tableBits_);
    while (table_[at].key != kFree) at = (at + 1) & mask;
    table_[at] = Slot{key, static_cast<std::uint32_t>(entry)};
    usedSlots_.push_back(at);
  }
}

// Least significant digit first, 11 bits a pass, only as many passes as the
// largest cell number needs.
void VoxelThinning::SortCells(std::uint32_t largestKey) {
  constexpr int kDigitBits = 11;
  constexpr std::uint32_t kDigits = 1u << kDigitBits;
  sortBuffer_.resize(order_.size());
  for (int shift = 32; shift < 64 && (static_cast<std::uint64_t>(largestKey) << 32 >> shift) != 0;
       shift += kDigitBits) {
    std::uint32_t start[kDigits + 1] = {};
    for (std::uint64_t entry : order_) ++start[((entry >> shift) & (kDigits - 1)) + 1];
    for (std::uint32_t d = 1; d <= kDigits; ++d) start[d] += start[d - 1];
    for (std::uint64_t entry : order_) sortBuffer_[start[(entry >> shift) & (kDigits - 1)]++] = entry;
    order_.swap(sortBuffer_);
  }
}

// Empties the table for a new frame, touching only the slots used.
void VoxelThinning::Forget() {
  for (std::uint32_t at : usedSlots_) table_[at].key = kFree;
}

}  // namespace kestrova
