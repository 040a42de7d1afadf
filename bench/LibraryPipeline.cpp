#include "bench/LibraryPipeline.h"

#include <cmath>

#include <pcl/common/transforms.h>
#include <pcl/filters/passthrough.h>
#include <pcl/filters/voxel_grid.h>

#include "capture/DepthConversion.h"

namespace kestrova {

namespace {

Cloud::ConstPtr Input(const Cloud& cloud, FilterInputs inputs) {
  if (inputs == FilterInputs::kHeapCopies) return cloud.makeShared();
  return Cloud::ConstPtr(Cloud::ConstPtr(), &cloud);
}

}  // namespace

void LibraryPipeline(const Cloud& raw, const OperatorSettings& settings, const CameraSetting& camera,
                     FilterInputs inputs, Cloud& work, Cloud& out) {
  work.clear();
  out.clear();
  if (raw.empty()) return;
  const float leaf = LeafSize(settings.calibration, settings.resolution);
  const bool thin = std::isfinite(leaf) && leaf > 0 &&
                    (inputs == FilterInputs::kHeapCopies || CanThin(BoundsOf(raw), leaf));
  if (thin) {
    pcl::VoxelGrid<pcl::PointXYZ> grid;
    grid.setLeafSize(leaf, leaf, leaf);
    grid.setInputCloud(Input(raw, inputs));
    grid.filter(work);
  } else {
    work = raw;
  }
  if (work.empty()) return;
  Cloud posed;
  pcl::transformPointCloud(work, posed, PoseTransform(camera, settings.calibration));
  const CropBox box = CropLimits(settings);
  static const char* const kFields[3] = {"x", "y", "z"};
  pcl::PassThrough<pcl::PointXYZ> pass;
  // Three passes, ping-ponging between the two clouds; the third writes `out`.
  Cloud* input = &posed;
  Cloud* output = &out;
  for (int axis = 0; axis < 3; ++axis) {
    pass.setFilterFieldName(kFields[axis]);
    pass.setFilterLimits(box.min[axis], box.max[axis]);
    pass.setInputCloud(Input(*input, inputs));
    pass.filter(*output);
    std::swap(input, output);
  }
}

Cloud PlainConvert(const DepthFrameView& frame, int limit) {
  const DepthFrameFormat& format = frame.format;
  const double cu = InverseFocalLength(format.lens.fx), cv = InverseFocalLength(format.lens.fy);
  Cloud cloud;
  for (int row = 0; row < format.height; ++row) {
    for (int column = 0; column < format.width; ++column) {
      const int d = frame.pixels[static_cast<std::size_t>(row) * format.rowStride + column] >> kDepthPixelShift;
      if (d > limit) continue;
      const float z = static_cast<float>((d >> 3) / 1000.0);
      cloud.push_back(pcl::PointXYZ(static_cast<float>((column - format.lens.cx) * cu * z),
                                    static_cast<float>((format.lens.cy - row) * cv * z), z));
    }
  }
  return cloud;
}

}  // namespace kestrova
