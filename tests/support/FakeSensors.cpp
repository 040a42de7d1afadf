#include "tests/support/FakeSensors.h"

namespace kestrova::testing {

std::int64_t FakeSensorState::ClockMs() const {
  return 1000 + std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - born).count();
}

void FakeSensorState::TickStamped(std::int64_t stamp) {
  std::lock_guard<std::mutex> lock(mutex);
  if (stalled || unplugged || shutDown) return;
  if (pending.size() >= queueLimit) pending.pop_front();
  pending.push_back({stamp, ++frameNumber});
  produced.push_back(pending.back().stamp);
  if (frameEnd) frameEnd->Set();
  changed.notify_all();
}

void FakeSensorState::SetStalled(bool value) {
  std::lock_guard<std::mutex> lock(mutex);
  stalled = value;
}

void FakeSensorState::SetUnplugged(bool value) {
  std::lock_guard<std::mutex> lock(mutex);
  unplugged = value;
  pending.clear();  // what was in flight is gone with the device
}

void FakeSensorState::SetFetchGate(bool open) {
  std::lock_guard<std::mutex> lock(mutex);
  fetchGateOpen = open;
  changed.notify_all();
}

void FakeSensorState::SetWithdrawGate(bool open) {
  std::lock_guard<std::mutex> lock(mutex);
  withdrawGateOpen = open;
  changed.notify_all();
}

HRESULT FakeSensor::NuiSetFrameEndEvent(ManualResetEvent* event, std::uint32_t) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (event == nullptr) {
    ++state_->withdrawals;
    state_->changed.notify_all();
    state_->changed.wait(lock, [this] { return state_->withdrawGateOpen; });
  } else {
    ++state_->registrations;
  }
  state_->frameEnd = event;
  state_->changed.notify_all();
  return S_OK;
}

HRESULT FakeSensor::NuiImageStreamGetNextFrame(NuiStreamHandle, std::uint32_t waitMs,
                                               NuiImageFrame* frame) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  FakeSensorState& s = *state_;
  ++s.fetches;
  if (s.unplugged) return E_NUI_DEVICE_NOT_CONNECTED;
  if (waitMs > 0) ++s.waitingFetches;
  ++s.busy;
  const bool atGate = !s.fetchGateOpen;
  if (atGate) ++s.waitingAtGate;
  s.changed.notify_all();
  bool ready = s.changed.wait_for(lock, std::chrono::milliseconds(waitMs), [&s] {
    return s.shutDown || (s.fetchGateOpen && !s.pending.empty());
  });
  if (atGate) --s.waitingAtGate;
  if (!ready || s.shutDown) {
    --s.busy;
    s.changed.notify_all();
    return E_NUI_FRAME_NO_DATA;
  }
  ++s.delivered;
  frame->liTimeStamp.QuadPart = s.pending.front().stamp;
  s.handedOver.push_back(s.pending.front().stamp);
  frame->dwFrameNumber = s.pending.front().frameNumber;
  s.pending.pop_front();
  frame->pFrameTexture = &s.texture;
  s.changed.notify_all();
  return S_OK;  // still busy until released
}

HRESULT FakeSensor::NuiImageStreamReleaseFrame(NuiStreamHandle, NuiImageFrame* frame) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  ++state_->releases;
  --state_->busy;
  frame->pFrameTexture = nullptr;
  state_->changed.notify_all();
  return S_OK;
}

void FakeSensor::NuiShutdown() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->shutDown) return;
  if (state_->busy > 0) state_->shutDownWhileBusy = true;
  state_->shutDown = true;
  state_->frameEnd = nullptr;
  state_->changed.notify_all();
}

}  // namespace kestrova::testing
