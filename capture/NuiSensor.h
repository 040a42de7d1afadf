// The depth-sensor layer. It stands where the depth-camera runtime stands on
// the recording platform and keeps that runtime's calls and results, so each
// call site reads the same: create a sensor by index, initialise it, open its
// depth stream, set a frame-end event, get the next frame with a wait, lock
// its pixels, release it. Backends (simulated, file replay, hardware)
// implement INuiSensor and SensorBackend.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "settings/DepthFrameFormat.h"

namespace kestrova {

class ManualResetEvent;

using HRESULT = std::int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_NUI_DEVICE_NOT_CONNECTED = static_cast<HRESULT>(0x8007048Fu);
constexpr HRESULT E_NUI_FRAME_NO_DATA = static_cast<HRESULT>(0x83010001u);
inline bool Succeeded(HRESULT result) { return result >= 0; }

// Values of the runtime's constants that the recorder passes.
constexpr std::uint32_t NUI_INITIALIZE_FLAG_USES_DEPTH = 0x20;
constexpr int NUI_IMAGE_TYPE_DEPTH = 4;
constexpr int NUI_IMAGE_RESOLUTION_320x240 = 1;
constexpr std::uint32_t NUI_IMAGE_STREAM_FLAG_ENABLE_NEAR_MODE = 0x20000;
constexpr std::uint32_t NUI_INFINITE = 0xFFFFFFFFu;

using NuiStreamHandle = int;
constexpr NuiStreamHandle kNoStream = -1;

// A 64-bit frame time stamp, readable as the two 32-bit halves a take stores.
struct NuiTimeStamp {
  std::int64_t QuadPart = 0;
  std::int32_t HighPart() const { return static_cast<std::int32_t>(QuadPart >> 32); }
  std::uint32_t LowPart() const { return static_cast<std::uint32_t>(QuadPart & 0xFFFFFFFFu); }
};

struct NuiLockedRect {
  int Pitch = 0;          // bytes per row
  int size = 0;           // bytes in the buffer
  std::uint8_t* pBits = nullptr;
};

// One frame's pixel buffer, which says what it holds: `format` gives its
// size, row stride and lens; the pixels are 16 bits, row after row, the
// depth in millimetres in bits 3 to 15. The lock reports the stride in bytes
// (Pitch) and the whole buffer's size.
class NuiFrameTexture {
 public:
  explicit NuiFrameTexture(const DepthFrameFormat& frameFormat = DepthFrameFormat())
      : format(frameFormat), pixels(frameFormat.BufferPixels(), 0) {}
  HRESULT LockRect(unsigned level, NuiLockedRect* locked, void* rect, std::uint32_t flags);
  DepthFrameFormat format;
  std::vector<std::uint16_t> pixels;
};

struct NuiImageFrame {
  NuiTimeStamp liTimeStamp;           // ms counted by the sensor since its initialisation
  std::uint32_t dwFrameNumber = 0;    // the sensor's own frame counter
  NuiFrameTexture* pFrameTexture = nullptr;
};

class INuiSensor {
 public:
  virtual ~INuiSensor() = default;
  virtual HRESULT NuiInitialize(std::uint32_t flags) = 0;
  virtual HRESULT NuiImageStreamOpen(int imageType, int resolution, std::uint32_t streamFlags,
                                     std::uint32_t frameLimit, ManualResetEvent* nextFrameEvent,
                                     NuiStreamHandle* stream) = 0;
  // Registers the event the sensor signals at the end of every frame, in
  // place of the previous one; nullptr withdraws it. Once this returns, the
  // sensor no longer touches the previous event.
  virtual HRESULT NuiSetFrameEndEvent(ManualResetEvent* event, std::uint32_t flags) = 0;
  // Waits at most `waitMs` for the next frame; E_NUI_FRAME_NO_DATA when none came.
  virtual HRESULT NuiImageStreamGetNextFrame(NuiStreamHandle stream, std::uint32_t waitMs,
                                             NuiImageFrame* frame) = 0;
  virtual HRESULT NuiImageStreamReleaseFrame(NuiStreamHandle stream, NuiImageFrame* frame) = 0;
  // Stops the sensor; no call but the destructor may follow.
  virtual void NuiShutdown() = 0;
  // A live sensor's frames that were delivered and not taken go stale while
  // no loop fetches them: a loop that starts discards them, so that its
  // first grab of every camera waits for a new frame (and cameras that take
  // their frames together hand over frames of one moment). A sensor that
  // keeps every frame (a replay) keeps them.
  virtual void NuiImageStreamDiscardQueued(NuiStreamHandle) {}
  // True for a sensor that never drops a frame but waits until each is
  // taken (a replay, a free-running simulation): its frames are matched by
  // frame number rather than by time, and none may be dropped.
  virtual bool NuiKeepsEveryFrame() const { return false; }
  // True once a sensor that plays a finite recording has delivered all of it.
  virtual bool NuiStreamEnded() const { return false; }
  // Why such a recording ended before its last frame (a frame that could
  // not be read); empty when it played to its end.
  virtual std::string NuiStreamError() const { return std::string(); }
  // A text that tells the physical device apart (a serial number), if known.
  virtual std::string NuiUniqueId() const { return std::string(); }
  // The frames the open stream delivers: every frame's texture says the
  // same. The stream is opened with NUI_IMAGE_RESOLUTION_320x240, the
  // runtime's request for the default size; a sensor whose backend was
  // told another size (freenect:640x480, sim:N,size=WxH, an OpenNI2 mode, a
  // replay of other frames) delivers that, and says so here.
  virtual DepthFrameFormat NuiDepthFrameFormat() const { return DepthFrameFormat(); }
};

// Creates sensors by runtime index 0..3.
class SensorBackend {
 public:
  virtual ~SensorBackend() = default;
  // S_OK with a usable sensor, or a failure result and no sensor.
  virtual HRESULT NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) = 0;
  // What the backend is, for messages ("simulated", ...).
  virtual std::string Name() const = 0;
};

}  // namespace kestrova
