#include "core/LostCameras.h"

namespace kestrova {

void LostCameras::Start(const std::array<bool, kCameraCount>& cameras) {
  std::lock_guard<std::mutex> lock(mutex_);
  cameras_ = cameras;
  misses_.fill(0);
  losses_.fill(CameraLoss());
}

bool LostCameras::Report(int slot, GrabResult result, int frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!cameras_[slot] || result == GrabResult::NotRun) return false;
  CameraLoss& loss = losses_[slot];
  if (result == GrabResult::Delivered) {
    misses_[slot] = 0;
    if (!loss.LostNow()) return false;
    loss.backAt = frame;
    return true;
  }
  // The first frame of this run of misses is the first one the files lack.
  const int firstMissed = frame - misses_[slot];
  ++misses_[slot];
  if (loss.LostNow()) return false;
  if (result != GrabResult::DeviceGone && misses_[slot] < kMissesOfALostCamera) return false;
  // Lost again after coming back: the latest loss is where its files stop.
  loss.lostAt = firstMissed;
  loss.backAt = -1;
  loss.deviceGone = result == GrabResult::DeviceGone;
  return true;
}

void LostCameras::LoseAll(int frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!cameras_[slot] || losses_[slot].LostNow()) continue;
    losses_[slot].lostAt = frame - misses_[slot];
    losses_[slot].backAt = -1;
  }
}

CameraLoss LostCameras::Loss(int slot) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return losses_[slot];
}

bool LostCameras::AllLost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  bool any = false;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!cameras_[slot]) continue;
    any = true;
    if (!losses_[slot].LostNow()) return false;
  }
  return any;
}

}  // namespace kestrova
