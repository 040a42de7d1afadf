// A scripted sensor for engine tests: the test says when a frame is ready,
// can hold a fetch or the withdrawal of the frame-end event at a gate, and
// reads back what the engine did. The state outlives the sensor, so it can
// be read after the engine has shut the sensor down.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/NuiSensor.h"
#include "capture/Event.h"

namespace kestrova::testing {

struct FakeSensorState {
  std::mutex mutex;
  std::condition_variable changed;
  ManualResetEvent* frameEnd = nullptr;
  // Frames ready to fetch, oldest first (at most `queueLimit`: the oldest
  // goes), as their stamps and frame numbers.
  struct Pending {
    std::int64_t stamp;
    std::uint32_t frameNumber;
  };
  std::deque<Pending> pending;
  std::size_t queueLimit = 2;
  // Its clock: 1000 ms when the state is made, then running with the host's.
  const std::chrono::steady_clock::time_point born = std::chrono::steady_clock::now();
  std::uint32_t frameNumber = 0;
  std::vector<std::int64_t> produced;   // the stamp of every frame it made, in order
  std::vector<std::int64_t> handedOver;  // of those, the ones a fetch took, in order
  bool fetchGateOpen = true;       // closed: fetches wait at the gate
  bool withdrawGateOpen = true;    // closed: withdrawing the frame-end event waits
  bool stalled = false;            // delivers nothing more
  bool unplugged = false;          // fetches fail at once: device not connected
  bool shutDown = false;
  bool shutDownWhileBusy = false;  // a fetch or a held frame at shutdown
  int fetches = 0, delivered = 0, releases = 0, busy = 0, waitingAtGate = 0;
  int registrations = 0, withdrawals = 0;
  int waitingFetches = 0;          // fetches that asked to wait (wait above 0)
  NuiFrameTexture texture;

  // A new frame, taken now: ready to fetch, frame end signalled.
  void Tick() { TickStamped(ClockMs()); }
  // A new frame taken `ageMs` ago that comes only now (held up on its way).
  void TickTaken(std::int64_t ageMs) { TickStamped(ClockMs() - ageMs); }
  // A new frame with this stamp, coming now.
  void TickStamped(std::int64_t stamp);
  std::int64_t ClockMs() const;
  void SetStalled(bool value);
  void SetUnplugged(bool value);
  void SetFetchGate(bool open);
  void SetWithdrawGate(bool open);
  // Waits until `pred` holds, at most `limit`; false on time-out.
  template <class Pred>
  bool WaitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return pred(*this); });
  }
};

class FakeSensor : public INuiSensor {
 public:
  explicit FakeSensor(std::shared_ptr<FakeSensorState> state) : state_(std::move(state)) {}
  ~FakeSensor() override { NuiShutdown(); }
  HRESULT NuiInitialize(std::uint32_t) override { return S_OK; }
  HRESULT NuiImageStreamOpen(int, int, std::uint32_t, std::uint32_t, ManualResetEvent*,
                             NuiStreamHandle* stream) override {
    *stream = 7;
    return S_OK;
  }
  HRESULT NuiSetFrameEndEvent(ManualResetEvent* event, std::uint32_t) override;
  HRESULT NuiImageStreamGetNextFrame(NuiStreamHandle, std::uint32_t waitMs,
                                     NuiImageFrame* frame) override;
  HRESULT NuiImageStreamReleaseFrame(NuiStreamHandle, NuiImageFrame* frame) override;
  void NuiShutdown() override;

 private:
  std::shared_ptr<FakeSensorState> state_;
};

// Sensors at the indexes whose state is given; none elsewhere.
class FakeBackend : public SensorBackend {
 public:
  explicit FakeBackend(std::array<std::shared_ptr<FakeSensorState>, 4> states)
      : states_(std::move(states)) {}
  HRESULT NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) override {
    if (!states_[index]) return E_NUI_DEVICE_NOT_CONNECTED;
    *sensor = std::make_unique<FakeSensor>(states_[index]);
    return S_OK;
  }
  std::string Name() const override { return "fake"; }

 private:
  std::array<std::shared_ptr<FakeSensorState>, 4> states_;
};

}  // namespace kestrova::testing
