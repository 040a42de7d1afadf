#include "core/LostCameras.h"

namespace kestrova {

std::vector<LossSpan> CameraLoss::All() const {
  std::vector<LossSpan> all = earlier;
  if (Lost()) all.push_back({lostAt, backAt, deviceGone});
  return all;
}

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
  // Lost again after coming back: the earlier loss is kept, and the latest
  // is where its files stop.
  if (loss.Lost()) loss.earlier.push_back({loss.lostAt, loss.backAt, loss.deviceGone});
  loss.lostAt = firstMissed;
  loss.backAt = -1;
  loss.deviceGone = result == GrabResult::DeviceGone;
  return true;
}

void LostCameras::LoseAll(int frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!cameras_[slot] || losses_[slot].LostNow()) continue;
    CameraLoss& loss = losses_[slot];
    if (loss.Lost()) loss.earlier.push_back({loss.lostAt, loss.backAt, loss.deviceGone});
    loss.lostAt = frame - misses_[slot];
    loss.backAt = -1;
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
