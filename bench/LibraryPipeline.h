// The per-camera pipeline built plainly from the library's filters, the
// yardstick the engine's own pipeline is measured and tested against:
// pcl::VoxelGrid, pcl::transformPointCloud, then pcl::PassThrough on x, y
// and z, with the engine's leaf, pose and crop limits.
#pragma once

#include "capture/CloudProcessing.h"
#include "settings/DepthFrameFormat.h"
#include "settings/Settings.h"

namespace kestrova {

enum class FilterInputs {
  kHeapCopies,  // every filter reads a heap copy of its input (makeShared)
  kBorrowed,    // the filters read the clouds in place, and the grid's
                // bounds are checked first so that it never warns (the
                // engine's pipeline before its own thinning)
};

// `work` the thinned cloud in camera axes, `out` the posed and cropped one.
void LibraryPipeline(const Cloud& raw, const OperatorSettings& settings, const CameraSetting& camera,
                     FilterInputs inputs, Cloud& work, Cloud& out);

// The conversion written plainly: a new cloud per frame, grown point by
// point, the products in double as the conversion's formula asks.
Cloud PlainConvert(const DepthFrameView& frame, int limit);

}  // namespace kestrova
