// One camera's depth frame through the whole take pipeline: converted
// within the camera's depth limit, then thinned, posed and cropped. The
// live grab and the re-processing of kept depth frames both run this, so a
// take processed again with its own settings gives the same clouds.
#pragma once

#include <cstdint>

#include "capture/CloudProcessing.h"
#include "settings/DepthFrameFormat.h"
#include "settings/Settings.h"

namespace kestrova {

// The clouds of one run, reused from frame to frame: `raw` the converted
// pixels, `work` the thinned cloud in camera axes, `out` the posed and
// cropped one that a take records.
struct PipelineClouds {
  Cloud raw, work, out, scratch;
};

// `frame` carries its own size and lens, which the conversion uses.
void RunDepthPipeline(const DepthFrameView& frame, const OperatorSettings& settings,
                      const CameraSetting& camera, Cloud& raw, Cloud& work, Cloud& out, Cloud& scratch);

inline void RunDepthPipeline(const DepthFrameView& frame, const OperatorSettings& settings,
                             const CameraSetting& camera, PipelineClouds& clouds) {
  RunDepthPipeline(frame, settings, camera, clouds.raw, clouds.work, clouds.out, clouds.scratch);
}

}  // namespace kestrova
