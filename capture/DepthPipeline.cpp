#include "capture/DepthPipeline.h"

#include "capture/DepthConversion.h"

namespace kestrova {

void DepthPipeline::Run(const DepthFrameView& frame, const OperatorSettings& settings,
                        const CameraSetting& camera, Cloud& work, Cloud& out) {
  ConvertDepthFrame(frame, DepthLimit(camera.maxDepth), raw_);
  processor_.Process(raw_, settings, camera, work, out);
}

}  // namespace kestrova
