// One camera's work for one frame, run on a grab thread of its own. A grab
// touches only its own camera's sensor and clouds, reads the frame's
// settings copy and hands the frame to the cycle's consumers, so grabs of
// different cameras need no lock.
#include <algorithm>

#include "capture/DepthPipeline.h"
#include "core/Recorder.h"

namespace kestrova {

namespace {
// A wait for a frame is cut into slices, so it can end early.
constexpr long long kFetchSliceMs = 10;
}  // namespace

void CRecorder::GrabFrame(int camera, int frameNumber) {
  workClouds[camera].clear();
  clouds[camera].clear();
  INuiSensor* sensor = sensors_[camera].get();
  if (sensor == nullptr) return;

  // A bounded wait: a sensor that stopped leaves this camera's clouds empty
  // for the frame, and its consumers get nothing (a take has no line and no
  // record for it: its time stamp is never made up; the frame-number column
  // still lines up). A
  // camera known to be lost is not waited for: it only gets the chance to
  // hand over a frame that is there.
  NuiImageFrame frame;
  HRESULT fetched = FetchFrame(camera, &frame);
  if (!Succeeded(fetched) || frame.pFrameTexture == nullptr) {
    ++missedFrames_[camera];
    grabResults_[camera] =
        fetched == E_NUI_DEVICE_NOT_CONNECTED ? GrabResult::DeviceGone : GrabResult::NoFrame;
    return;
  }
  NuiLockedRect locked;
  if (Succeeded(frame.pFrameTexture->LockRect(0, &locked, nullptr, 0))) {
    const DepthPixels pixels{reinterpret_cast<const std::uint16_t*>(locked.pBits),
                             locked.Pitch / 2, locked.Pitch > 0 ? locked.size / locked.Pitch : 0};
    RunDepthPipeline(pixels.values, locked.size / 2, frameSettings_.operatorSettings,
                     frameSettings_.cameras[camera], rawClouds_[camera], workClouds[camera],
                     clouds[camera], scratchClouds_[camera]);
    CameraFrame delivered;
    delivered.camera = camera;
    delivered.frameNumber = frameNumber;
    delivered.stamp = frame.liTimeStamp.QuadPart;
    delivered.pixels = &pixels;
    delivered.thinned = &workClouds[camera];
    delivered.final = &clouds[camera];
    for (FrameConsumer* consumer : cycleConsumers_) consumer->OnCameraFrame(delivered);
    grabResults_[camera] = GrabResult::Delivered;
  } else {
    ++missedFrames_[camera];
    grabResults_[camera] = GrabResult::NoFrame;
  }
  lastPointCount_[camera] = clouds[camera].size();
  CountDroppedFrames(camera, frame.liTimeStamp.QuadPart);
  sensor->NuiImageStreamReleaseFrame(depthStreams_[camera], &frame);
  ++grabCount_[camera];
}

HRESULT CRecorder::FetchFrame(int camera, NuiImageFrame* frame) {
  using Clock = std::chrono::steady_clock;
  INuiSensor* sensor = sensors_[camera].get();
  if (pollOnly_[camera]) return sensor->NuiImageStreamGetNextFrame(depthStreams_[camera], 0, frame);
  const auto lateLimit = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::milli>(2 * framePeriodMs_[camera]));
  const Clock::time_point giveUp = Clock::now() + timing_.frameWait;
  Clock::time_point aloneSince{};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now());
    const auto slice = static_cast<std::uint32_t>(std::clamp<long long>(left.count(), 0, kFetchSliceMs));
    const HRESULT fetched = sensor->NuiImageStreamGetNextFrame(depthStreams_[camera], slice, frame);
    if (fetched != E_NUI_FRAME_NO_DATA || left.count() <= 0) return fetched;
    // The last grab of a cycle that others share: once they are done, the
    // wait holds all of them.
    if (framePeriodMs_[camera] > 0 && grabsInCycle_ > 1 && grabsRunning_ <= 1) {
      const Clock::time_point now = Clock::now();
      if (aloneSince == Clock::time_point()) aloneSince = now;
      if (now - aloneSince >= lateLimit) return fetched;
    }
  }
}

void CRecorder::ProcessCloud(int camera, const pcl::PointCloud<pcl::PointXYZ>& raw) {
  kestrova::ProcessCloud(raw, frameSettings_.operatorSettings, frameSettings_.cameras[camera],
                         workClouds[camera], clouds[camera], scratchClouds_[camera]);
}

}  // namespace kestrova
