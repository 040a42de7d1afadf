#include "capture/DepthPipeline.h"

#include "capture/DepthConversion.h"

namespace kestrova {

void RunDepthPipeline(const std::uint16_t* pixels, int pixelCount, const OperatorSettings& settings,
                      const CameraSetting& camera, Cloud& raw, Cloud& work, Cloud& out, Cloud& scratch) {
  ConvertDepthFrame(pixels, pixelCount, DepthLimit(camera.maxDepth), raw);
  ProcessCloud(raw, settings, camera, work, out, scratch);
}

}  // namespace kestrova
