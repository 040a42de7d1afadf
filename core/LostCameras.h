// Which cameras of a take are lost. A camera whose device is gone is lost at
// once; one that delivers no frame several cycles in a row is lost too. A
// lost camera is no longer waited for, and is taken back as soon as it
// delivers again. The recording loop reports every cycle's grabs; the window
// and the tools read the state at any time.
#pragma once

#include <array>
#include <mutex>
#include <vector>

#include "settings/Settings.h"

namespace kestrova {

// What one grab of a camera gave.
enum class GrabResult { NotRun, Delivered, NoFrame, DeviceGone };

// A camera's losses during a take. The latest: the frame from which its
// files have no record, and the frame at which it delivered again (-1: it
// did not). Those before it, each ended by the camera coming back, in order.
struct LossSpan {
  int lostAt = -1;
  int backAt = -1;
  bool deviceGone = false;
};
struct CameraLoss {
  int lostAt = -1;
  int backAt = -1;
  bool deviceGone = false;  // unplugged or dead, rather than silent
  std::vector<LossSpan> earlier;
  bool Lost() const { return lostAt >= 0; }
  bool LostNow() const { return lostAt >= 0 && backAt < 0; }
  // Every loss, the earlier ones and the latest, in order.
  std::vector<LossSpan> All() const;
};

class LostCameras {
 public:
  // Cycles in a row without a frame that make a silent camera lost.
  static constexpr int kMissesOfALostCamera = 3;

  // A new take of `cameras`: nobody is lost.
  void Start(const std::array<bool, kCameraCount>& cameras);
  // The outcome of camera `slot`'s grab in cycle `frame`. True when the
  // camera was lost or taken back by it.
  bool Report(int slot, GrabResult result, int frame);
  // Marks every camera of the take that is not lost yet as lost from `frame`
  // (nothing came from any of them).
  void LoseAll(int frame);

  CameraLoss Loss(int slot) const;
  bool LostNow(int slot) const { return Loss(slot).LostNow(); }
  // True when the take has cameras and every one of them is lost now.
  bool AllLost() const;

 private:
  mutable std::mutex mutex_;
  std::array<bool, kCameraCount> cameras_{};
  std::array<int, kCameraCount> misses_{};
  std::array<CameraLoss, kCameraCount> losses_{};
};

}  // namespace kestrova
