// Paces a loop by the frame-end signals of its sensors. The first usable
// sensor in slot order paces; when it falls more than a frame behind
// another usable sensor (it stopped, or it was unplugged), that sensor's
// frame end paces instead, so a stopped sensor never holds the others.
// Without any sensor a timer at the nominal frame rate paces. Every wait is
// cut into short slices that re-test the loop's flag, so a stop is seen
// even when no sensor delivers anything.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <memory>

#include "capture/NuiSensor.h"
#include "capture/Event.h"
#include "settings/Settings.h"

namespace kestrova {

class FramePacer {
 public:
  enum class Wait { Frame, Stopped, Stalled, Ended };
  using Sensors = std::array<INuiSensor*, kCameraCount>;

  // Registers a fresh event with every sensor of `sensors` (by slot; null
  // entries are skipped; none at all: pace by a timer).
  FramePacer(const Sensors& sensors, std::chrono::milliseconds nominalPeriod);
  // Paces by `sensor` alone (nullptr: by a timer).
  FramePacer(INuiSensor* sensor, std::chrono::milliseconds nominalPeriod);
  // Withdraws the events from the sensors.
  ~FramePacer();
  FramePacer(const FramePacer&) = delete;
  FramePacer& operator=(const FramePacer&) = delete;

  // Waits for the next frame end and resets the event. Stopped as soon as
  // `keepGoing` is found clear; Stalled when no sensor signalled within
  // `stallLimit`; Ended when the pacing sensor has played all it had.
  Wait Next(const std::atomic<bool>& keepGoing, std::chrono::milliseconds stallLimit);

  // A lost sensor is not waited for; a sensor taken back paces again.
  void SetUsable(int slot, bool usable) { usable_[slot] = usable && sensors_[slot] != nullptr; }
  // The slot of the sensor that paces when all is well; -1 when none can.
  int PreferredSlot() const;

 private:
  static constexpr std::chrono::milliseconds kSlice{10};
  // Frame ends of another sensor, while the preferred one gave none, that
  // show it is behind by more than a frame.
  static constexpr int kBeatsOfALateSensor = 2;

  Wait NextTick(const std::atomic<bool>& keepGoing);

  Sensors sensors_{};
  std::array<bool, kCameraCount> usable_{};
  std::array<std::unique_ptr<ManualResetEvent>, kCameraCount> frameEnds_;
  std::chrono::steady_clock::duration period_;
  std::chrono::steady_clock::time_point nextTick_;
};

}  // namespace kestrova
