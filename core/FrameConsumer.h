// What the engine's loops hand their frames to. Every loop cycle is put
// together from the cameras' acquisitions (one moment, a frame per camera
// that had one); each camera's frame is processed on that camera's
// long-lived worker; then the whole cycle goes to the consumers on the loop
// thread. The take (its files) and the preview (its window) are consumers;
// others can be attached to a running loop for a while.
//
// Thread contract.
// - OnCameraFrame runs on the worker of `frame.camera`, once per cycle for
//   each camera that delivered a frame, concurrently with the calls for
//   the other cameras but never with another call for its own camera (a
//   camera's calls of successive cycles may run on the same thread or not:
//   keep per-camera state per camera, not per thread). It may touch only
//   what belongs to that camera (no lock is taken for it); everything it
//   is given is valid for the call alone and is refilled next cycle.
// - OnCycle runs on the loop thread once every camera's call of the cycle
//   has returned: no OnCameraFrame runs meanwhile, and all of the cycle's
//   calls happened before it. It may read what OnCameraFrame stored for any
//   camera. It should return soon: the loop takes no new cycle meanwhile
//   (the cameras' buffers hold about a third of a second).
// - Begin and End are for a loop's own consumer (the preview's window, the
//   take): on the loop thread, before its first cycle and after its last.
//   A consumer attached to the engine for a while (CRecorder::Attach) gets
//   the frame calls of whichever loop runs, and no Begin or End.
#pragma once

#include <array>
#include <cstdint>

#include "capture/CloudProcessing.h"
#include "core/LostCameras.h"
#include "record/TakeWriter.h"
#include "settings/ParamsFile.h"
#include "settings/Settings.h"

namespace kestrova {

class CRecorder;

// The settings one frame works with.
struct FrameSettings {
  OperatorSettings operatorSettings;
  CameraSettings cameras;
};

// One camera's frame, as its worker made it.
struct CameraFrame {
  int camera = 0;        // slot 0..3
  int frameNumber = 0;   // the take's frame number (0 outside takes)
  std::int64_t stamp = 0;  // the sensor's time stamp, ms
  double mappedMs = 0;     // when the camera took it, on the host clock (ms)
  double arrivalMs = 0;    // when it arrived from the sensor, on the host clock
  const DepthFrameView* depth = nullptr;  // the raw depth frame, with its size and lens
  const Cloud* thinned = nullptr;  // in camera axes, before pose and crop
  const Cloud* final = nullptr;    // posed and cropped: what a take records
};

// One whole cycle, once every camera's part is done.
struct CycleFrame {
  int frameNumber = 0;
  const FrameSettings* settings = nullptr;  // the copy every camera of the cycle used
  std::array<bool, kCameraCount> active{};  // the cameras of the loop
  std::array<GrabResult, kCameraCount> results{};
  double momentMs = 0;  // the cycle's moment on the host clock
  double spreadMs = 0;  // how far apart its frames' mapped times lie
  // Matched by the sensors' frame numbers (replays, free-running
  // simulations): the mapped times then tell nothing.
  bool matchedByNumber = false;
  std::array<std::int64_t, kCameraCount> stamps{};  // of the delivered frames
  std::array<double, kCameraCount> mappedMs{};     // of the delivered frames, host clock
  std::array<const Cloud*, kCameraCount> thinned{};  // per camera, empty when no frame came
  std::array<const Cloud*, kCameraCount> final{};
};

class FrameConsumer {
 public:
  virtual ~FrameConsumer() = default;
  virtual void Begin(CRecorder& engine) { (void)engine; }
  virtual void OnCameraFrame(const CameraFrame& frame) { (void)frame; }
  // False from a loop's own consumer ends the loop after this cycle; an
  // attached consumer that returns false is detached (it has what it wanted).
  virtual bool OnCycle(const CycleFrame& cycle) {
    (void)cycle;
    return true;
  }
  virtual void End(CRecorder& engine) { (void)engine; }
};

}  // namespace kestrova
