// One camera's work for one frame, run on a grab thread of its own. A grab
// touches only its own camera's sensor, clouds and take files, and reads the
// frame's settings copy, so grabs of different cameras need no lock.
#include "capture/CloudProcessing.h"
#include "capture/DepthConversion.h"
#include "core/Recorder.h"

namespace kestrova {

void CRecorder::GrabFrame(int camera, bool record, int frameNumber) {
  const int limit = DepthLimit(frameSettings_.cameras[camera].maxDepth);
  workClouds[camera].clear();
  clouds[camera].clear();
  INuiSensor* sensor = sensors_[camera].get();
  if (sensor == nullptr) return;

  // A bounded wait: a sensor that stopped leaves this camera's clouds empty
  // for the frame, and a take gets no line and no record for it (its time
  // stamp is never made up; the frame-number column still lines up).
  NuiImageFrame frame;
  HRESULT fetched = sensor->NuiImageStreamGetNextFrame(
      depthStreams_[camera], static_cast<std::uint32_t>(timing_.frameWait.count()), &frame);
  if (!Succeeded(fetched) || frame.pFrameTexture == nullptr) {
    ++missedFrames_[camera];
    return;
  }
  NuiLockedRect locked;
  if (Succeeded(frame.pFrameTexture->LockRect(0, &locked, nullptr, 0))) {
    ConvertDepthFrame(reinterpret_cast<const std::uint16_t*>(locked.pBits), locked.size / 2, limit,
                      rawClouds_[camera]);
    ProcessCloud(camera, rawClouds_[camera]);
    if (record) takeWriter_.Append(camera, frameNumber, frame.liTimeStamp, clouds[camera]);
    grabbedFrame_[camera] = true;
  } else {
    ++missedFrames_[camera];
  }
  lastTimeStamp_[camera] = frame.liTimeStamp.QuadPart;
  lastPointCount_[camera] = clouds[camera].size();
  CountDroppedFrames(camera, frame.liTimeStamp.QuadPart);
  sensor->NuiImageStreamReleaseFrame(depthStreams_[camera], &frame);
  ++grabCount_[camera];
}

void CRecorder::ProcessCloud(int camera, const pcl::PointCloud<pcl::PointXYZ>& raw) {
  kestrova::ProcessCloud(raw, frameSettings_.operatorSettings, frameSettings_.cameras[camera],
                         workClouds[camera], clouds[camera], scratchClouds_[camera]);
}

}  // namespace kestrova
