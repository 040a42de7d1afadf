// Paces a loop by the frame-end signal of one sensor: the first present
// sensor, or, when there is none, a timer at the nominal frame rate. Every
// wait is cut into short slices that re-test the loop's flag, so a stop is
// seen even when the sensor delivers nothing.
#pragma once

#include <atomic>
#include <chrono>

#include "capture/NuiSensor.h"
#include "core/Event.h"

namespace kestrova {

class FramePacer {
 public:
  enum class Wait { Frame, Stopped, Stalled, Ended };

  // Registers a fresh event with `sensor` (nullptr: pace by a timer).
  FramePacer(INuiSensor* sensor, std::chrono::milliseconds nominalPeriod);
  // Withdraws the event from the sensor.
  ~FramePacer();
  FramePacer(const FramePacer&) = delete;
  FramePacer& operator=(const FramePacer&) = delete;

  // Waits for the next frame end and resets the event. Stopped as soon as
  // `keepGoing` is found clear; Stalled when nothing came within `stallLimit`;
  // Ended when the pacing sensor has played all it had.
  Wait Next(const std::atomic<bool>& keepGoing, std::chrono::milliseconds stallLimit);

  bool PacedBySensor() const { return sensor_ != nullptr; }

 private:
  static constexpr std::chrono::milliseconds kSlice{20};
  INuiSensor* sensor_;
  ManualResetEvent frameEnd_;
  std::chrono::steady_clock::duration period_;
  std::chrono::steady_clock::time_point nextTick_;
};

}  // namespace kestrova
