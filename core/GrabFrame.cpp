// One camera's part of a cycle, run on that camera's worker. It touches only
// its own camera's frame, clouds and consumer state, reads the cycle's
// settings copy and hands the frame to the cycle's consumers, so the
// cameras of a cycle need no lock among them.
#include "core/Recorder.h"

namespace kestrova {

void CRecorder::GrabFrame(int camera) {
  const AcquiredFrame& frame = cycle_.frames[camera];
  const DepthFrameView pixels{frame.pixels.data(), frame.format};
  pipelines_[camera].Run(pixels, frameSettings_.operatorSettings, frameSettings_.cameras[camera], workClouds[camera],
                         clouds[camera]);
  CameraFrame delivered;
  delivered.camera = camera;
  delivered.frameNumber = cycleFrameNumber_;
  delivered.stamp = frame.stamp;
  delivered.mappedMs = frame.mappedMs;
  delivered.arrivalMs = frame.arrivalMs;
  delivered.depth = &pixels;
  delivered.thinned = &workClouds[camera];
  delivered.final = &clouds[camera];
  for (FrameConsumer* consumer : cycleConsumers_) consumer->OnCameraFrame(delivered);
  lastPointCount_[camera] = clouds[camera].size();
  ++grabCount_[camera];
}

}  // namespace kestrova
