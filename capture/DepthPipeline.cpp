#include "capture/DepthPipeline.h"

#include "capture/DepthConversion.h"

namespace kestrova {

void DepthPipeline::Run(const DepthFrameView& frame, const OperatorSettings& settings,
                        const CameraSetting& camera, Cloud& work, Cloud& out) {
  CloudBounds bounds;
  ConvertDepthFrame(frame, DepthLimit(camera.maxDepth), raw_, &bounds);
  processor_.Process(raw_, bounds, settings, camera, work, out);
}

}  // namespace kestrova
