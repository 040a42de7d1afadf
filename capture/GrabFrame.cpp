// One camera's work for one frame, run on a grab thread of its own.
#include "core/Recorder.h"

namespace kestrova {

void CRecorder::GrabFrame(int camera, bool /*record*/, int /*frameNumber*/) {
  workClouds[camera].clear();
  clouds[camera].clear();
  INuiSensor* sensor = sensors_[camera].get();
  if (sensor == nullptr) return;

  // A bounded wait: a sensor that stopped leaves this camera's clouds empty
  // for the frame instead of holding the loop.
  NuiImageFrame frame;
  HRESULT fetched = sensor->NuiImageStreamGetNextFrame(
      depthStreams_[camera], static_cast<std::uint32_t>(timing_.frameWait.count()), &frame);
  if (!Succeeded(fetched) || frame.pFrameTexture == nullptr) {
    ++missedFrames_[camera];
    return;
  }
  NuiLockedRect locked;
  frame.pFrameTexture->LockRect(0, &locked, nullptr, 0);
  lastTimeStamp_[camera] = frame.liTimeStamp.QuadPart;
  sensor->NuiImageStreamReleaseFrame(depthStreams_[camera], &frame);
  grabbedFrame_[camera] = true;
  ++grabCount_[camera];
}

}  // namespace kestrova
