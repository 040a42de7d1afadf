#include "capture/DepthPipeline.h"

#include "capture/DepthConversion.h"

namespace kestrova {

void RunDepthPipeline(const DepthFrameView& frame, const OperatorSettings& settings,
                      const CameraSetting& camera, Cloud& raw, Cloud& work, Cloud& out, Cloud& scratch) {
  ConvertDepthFrame(frame, DepthLimit(camera.maxDepth), raw);
  ProcessCloud(raw, settings, camera, work, out, scratch);
}

}  // namespace kestrova
