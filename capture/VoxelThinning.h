// Thinning by a cubic voxel grid, cell for cell and in the order of
// pcl::VoxelGrid<pcl::PointXYZ> with the library's defaults, at a fraction
// of its cost: no sort of every point, no allocation once the buffers have
// grown to a frame's size, and the cloud's bounds taken once.
//
// Cells are numbered as the library numbers them (from the floor of each
// coordinate times the inverse leaf, relative to the cloud's lowest cell;
// x fastest, then y, then z), and the centroids come out in that order, each
// the float sum of its cell's points divided by their count. The library
// adds a cell's points in the order its unstable sort leaves them, this class
// in the cloud's order, so a centroid's coordinate may differ from the
// library's in its last bits. A cloud whose cell numbers could not be worked
// out exactly in integers (cells beyond 2^23 leaves from the origin) is
// handed to pcl::VoxelGrid itself.
#pragma once

#include <cstdint>
#include <vector>

#include <Eigen/Core>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace kestrova {

// The bounds of a cloud's finite points, as the voxel grid takes them.
struct CloudBounds {
  Eigen::Vector4f min, max;
};
CloudBounds BoundsOf(const pcl::PointCloud<pcl::PointXYZ>& cloud);

// The voxel grid's own test: false when a cloud with these bounds has more
// cells than its 32-bit cell numbers hold (the library then warns and
// returns the cloud unchanged), or when the leaf is not a positive number.
// Where the library's 64-bit product of the three spans itself overflows
// (leaves of a few micrometres for a camera's cloud), it goes on with wrapped
// cell numbers; here such a cloud is not thinned either.
bool CanThin(const CloudBounds& bounds, float leaf);

class VoxelThinning {
 public:
  void setLeafSize(float leaf) { leaf_ = leaf; }

  // Replaces `output` by the centroids of `input`'s cells. False, with
  // `output` untouched, when the grid cannot thin a cloud of these bounds
  // (see CanThin). `input` and `output` must be different clouds.
  bool filter(const pcl::PointCloud<pcl::PointXYZ>& input, const CloudBounds& bounds,
              pcl::PointCloud<pcl::PointXYZ>& output);

 private:
  struct Cell {
    float x, y, z;
    std::uint32_t count;
  };
  struct Slot {
    std::uint32_t key;   // the cell's number, kFree when unused
    std::uint32_t cell;  // its place in cells_
  };
  static constexpr std::uint32_t kFree = 0xFFFFFFFFu;  // above every cell number

  struct Found {
    std::uint32_t cell;
    bool fresh;  // met for the first time this frame
  };
  Found CellOf(std::uint32_t key);
  void Grow();
  void SortCells(std::uint32_t largestKey);
  void Forget();

  float leaf_ = 0;
  std::vector<Slot> table_;            // open addressing, a power of two long
  int tableBits_ = 0;
  std::vector<std::uint32_t> usedSlots_;  // this frame's, emptied after it
  std::vector<Cell> cells_;            // in the order first met, as many as order_ holds
  std::vector<std::uint64_t> order_;   // key << 32 | cell, sorted by key
  std::vector<std::uint64_t> sortBuffer_;
};

}  // namespace kestrova
