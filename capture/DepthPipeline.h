// One camera's depth frame through the whole take pipeline: converted
// within the camera's depth limit, then thinned, posed and cropped. The
// live grab and the re-processing of kept depth frames both run this, so a
// take processed again with its own settings gives the same clouds.
#pragma once

#include "capture/CloudProcessing.h"
#include "settings/DepthFrameFormat.h"
#include "settings/Settings.h"

namespace kestrova {

// One camera's pipeline, kept from frame to frame so that its buffers are
// reused. Not shared between threads.
class DepthPipeline {
 public:
  // `frame` carries its own size and lens, which the conversion uses.
  // `work` receives the thinned cloud in camera axes, `out` the posed and
  // cropped one that a take records.
  void Run(const DepthFrameView& frame, const OperatorSettings& settings, const CameraSetting& camera,
           Cloud& work, Cloud& out);

 private:
  Cloud raw_;
  CloudProcessor processor_;
};

}  // namespace kestrova
