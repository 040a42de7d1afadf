// The libfreenect context of the hardware backend: which cameras there are
// and with which serials, opening them (saying which one failed and why),
// where each device's frames go, and the one event thread that serves them.
#pragma once

#include <dlfcn.h>
#include <libfreenect.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/FreenectLog.h"

namespace kestrova {

// A call that not every libfreenect build has (the fake device library
// lacks several): looked up at run time, so a missing one is skipped, not
// fatal. nullptr when missing.
template <class Fn>
Fn OptionalFreenectCall(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
}

// What an opened device's frames are handed to (its sensor).
class FreenectStream {
 public:
  virtual ~FreenectStream() = default;
  // One 640 x 480 depth frame and its device clock.
  virtual void OnDepthFrame(const std::uint16_t* depth, std::uint32_t ticks) = 0;
  // libfreenect has marked some device dead, without saying which: a
  // stream whose frames stopped is that device's. True while the stream
  // still delivers.
  virtual bool OnSomeDeviceDead(std::chrono::steady_clock::time_point now) = 0;
};

// One opened camera. libfreenect may run a frame callback on any thread
// that calls into libusb (the event thread, but also one that opens, starts
// or stops a device), so the device's own lock, not the event loop, keeps a
// frame from reaching a stream that is being detached.
struct FreenectDevice {
  freenect_device* device = nullptr;
  std::string serial;  // empty when unknown
  std::mutex routeMutex;
  FreenectStream* stream = nullptr;  // guarded by routeMutex
};

class FreenectContext {
 public:
  static std::shared_ptr<FreenectContext> Create(std::string* error);
  ~FreenectContext();

  // The cameras found, at most four: camera n is index n - 1.
  int CameraCount() const { return static_cast<int>(serials_.size()); }
  // "camera N (serial S)", for messages.
  std::string CameraName(int index) const;
  // Opens a camera; nullptr, after telling the terminal which camera could
  // not be opened and why, when it cannot be. Lives as long as the context.
  FreenectDevice* Open(int index);
  // Routes the device's frames to `stream`; nullptr stops them. Once this
  // returns, no frame is being handed to the previous stream.
  void Attach(FreenectDevice* device, FreenectStream* stream);
  void StartEvents();

 private:
  FreenectContext() = default;
  void ListCameras();
  static void OnLog(freenect_context* context, freenect_loglevel level, const char* message);
  static void OnDepth(freenect_device* device, void* depth, std::uint32_t timestamp);
  void ServeEvents();
  // After libfreenect reported a dead device; true while any stream delivers.
  bool TellStreamsSomeDeviceDied();

  freenect_context* context_ = nullptr;
  std::vector<std::string> serials_;  // per camera
  bool openBySerial_ = false;
  FreenectLog log_;
  std::mutex devicesMutex_;
  std::vector<std::unique_ptr<FreenectDevice>> devices_;
  std::thread events_;
  std::atomic<bool> stop_{false};
};

}  // namespace kestrova
