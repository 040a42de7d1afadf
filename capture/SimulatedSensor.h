// Simulated depth sensors: each stands at its camera's default pose (or
// where the options put it) and renders the synthetic scene on a thread of
// its own into a two-frame queue that drops the oldest frame when nobody
// fetches. At a fixed frame rate, the sensors look at one world: they take
// their frames at the same moments of the world's clock (the host's
// monotonic clock, so the sensors of other programs on the machine do too,
// as cameras on a sync cable do), whenever each was opened, and show the
// scene as it stands at that moment; each stamps its frames on its own
// millisecond clock. Free-running, a sensor makes a frame whenever one was
// taken, and its clock and the scene advance one nominal frame period per
// frame. Faults can be injected for tests: a camera that stalls, is
// unplugged, fails a fetch, comes late, jitters, drops frames at random or
// whose clock drifts.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "capture/QueuedSensor.h"
#include "capture/SimulatedScene.h"

namespace kestrova {

// The frame rate whose period a free-running sensor's clock advances by.
constexpr double kNominalFps = 30;
// A late camera is late during the third second of every five of the world's clock.
constexpr int kLateEverySeconds = 5;
// Frames a simulated camera still delivers, late, when its thread was held
// up (a busy machine); beyond that the oldest are lost.
constexpr int kHeldFramesAtMost = 8;

struct SimOptions {
  std::array<bool, 4> present{{true, true, true, true}};
  double fps = 30;  // 0: free-running, a new frame as soon as one is fetched
  // Frames a sensor delivers before it stops (-1: never), and whether it
  // then goes silent or is unplugged (its fetches fail at once with
  // E_NUI_DEVICE_NOT_CONNECTED).
  std::array<int, 4> stallAfter{{-1, -1, -1, -1}};
  std::array<bool, 4> unplugged{{false, false, false, false}};
  // Frame periods after the stop at which the sensor delivers again; -1: never.
  std::array<int, 4> resumeAfter{{-1, -1, -1, -1}};
  // The frame taken (counted from 1) whose fetch fails with E_FAIL, losing
  // it; -1 for none.
  std::array<int, 4> failFetchAt{{-1, -1, -1, -1}};
  // At a fixed frame rate: frames that come `lateMs` after they were taken
  // during one second in every kLateEverySeconds (a congested link), and
  // up to `jitterMs` after at random always (a busy USB bus), in order;
  // frames lost at random, `dropPercent` of them; a clock that runs
  // `driftPpm` parts per million fast (slow if negative).
  std::array<int, 4> lateMs{{0, 0, 0, 0}};
  std::array<int, 4> jitterMs{{0, 0, 0, 0}};
  std::array<int, 4> dropPercent{{0, 0, 0, 0}};
  std::array<int, 4> driftPpm{{0, 0, 0, 0}};
  std::uint32_t seed = 1;
  // Where each sensor really stands, when not at its camera's default pose
  // (x, y, z in cm and rx, ry, rz in degrees are used).
  std::array<bool, 4> moved{{false, false, false, false}};
  std::array<CameraSetting, 4> truePose{};
};

// The pose sensor `index` stands at.
SimCameraPose SimulatedPose(int index, const SimOptions& options);

class SimulatedSensor : public QueuedSensor {
 public:
  // `worldStart`: when the world's clock read 0, the same for every sensor
  // of the scene.
  SimulatedSensor(int index, const SimOptions& options, std::shared_ptr<const SimulatedScene> scene,
                  std::chrono::steady_clock::time_point worldStart);
  ~SimulatedSensor() override;

  HRESULT NuiInitialize(std::uint32_t flags) override;
  HRESULT NuiImageStreamOpen(int imageType, int resolution, std::uint32_t streamFlags,
                             std::uint32_t frameLimit, ManualResetEvent* nextFrameEvent,
                             NuiStreamHandle* stream) override;
  std::string NuiUniqueId() const override;

  // Frames rendered so far.
  std::uint64_t FramesProduced() const { return produced_; }

 protected:
  void Produce() override;
  HRESULT BeforeFetch() override;
  HRESULT OnFrameTaken() override;

 private:
  bool FreeRunning() const { return options_.fps <= 0; }
  // The pause of an injected stop; false when shut down meanwhile.
  bool StopAsInjected(std::chrono::steady_clock::duration period, std::uint32_t* slot);
  void RenderInto(std::uint16_t* pixels, std::uint32_t frameNumber);
  std::int64_t ClockMs(std::chrono::steady_clock::time_point at) const;
  // Hands a rendered frame to the queue; false when shut down.
  bool Deliver(const std::uint16_t* pixels, std::int64_t stamp, std::uint32_t frameNumber);
  // A paced frame taken at `due`: lost, held back to come late, or delivered.
  bool Take(std::chrono::steady_clock::time_point due, std::uint32_t slot);
  // Waits until `at`, delivering the frames held back that come due
  // meanwhile; false when shut down.
  bool WaitDelivering(std::chrono::steady_clock::time_point at);

  // A frame taken and held back, to come at `comesAt`.
  struct HeldFrame {
    std::chrono::steady_clock::time_point comesAt;
    std::int64_t stamp = 0;
    std::uint32_t frameNumber = 0;
    std::vector<std::uint16_t> pixels;
  };

  const SimOptions options_;
  const std::shared_ptr<const SimulatedScene> scene_;
  const SimCameraPose pose_;
  const std::chrono::steady_clock::time_point worldStart_;
  std::vector<std::uint16_t> staticDepth_;
  std::vector<std::uint16_t> depthScratch_;
  std::vector<std::uint16_t> pixelScratch_;
  std::deque<HeldFrame> held_;                      // oldest first
  std::vector<std::vector<std::uint16_t>> spare_;   // pixel buffers of frames delivered
  std::mt19937 faults_;                             // drops and jitter, from the seed
  std::vector<std::uint8_t> labelScratch_;
  std::chrono::steady_clock::time_point initialised_;
  std::int64_t clockOffsetMs_ = 0;
  std::atomic<std::uint64_t> produced_{0};
  std::atomic<int> taken_{0};
  std::atomic<bool> gone_{false};  // unplugged: fetches fail at once
};

class SimulatedBackend : public SensorBackend {
 public:
  explicit SimulatedBackend(const SimOptions& options);
  HRESULT NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) override;
  std::string Name() const override { return "simulated"; }

 private:
  SimOptions options_;
  std::shared_ptr<const SimulatedScene> scene_;
  std::chrono::steady_clock::time_point worldStart_;
};

}  // namespace kestrova
