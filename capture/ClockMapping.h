// Puts a camera's frame time stamps (ms on the sensor's own clock) onto the
// host's monotonic clock (ms), from the moments its frames arrived.
//
// A frame arrives some time after it was taken: a fixed part (exposure,
// transfer, decoding) and a varying part (USB and network queues, a busy
// CPU). Over a while some frames come through with no queueing at all, so
// the smallest (arrival - stamp) tells the fixed part alone; every frame is
// then placed at stamp + that offset, which is when it would have arrived
// unhindered. This is the minimum-delay filter of network clock
// synchronisation. Two sensor clocks drift apart by up to about 100 ppm (a
// third of a second an hour), so the offset is kept per second of stamps
// over a sliding window, and a line with the window's slope is laid under
// the lowest of them: the mapping follows the drift, and a bad second
// (every frame queued) moves nothing.
//
// Details:
// - The window is kWindowSeconds of stamps, in bins of one second; each bin
//   keeps its lowest offset. Once the window spans kMinDriftSpanMs, the
//   slope is the least-squares slope of the bins' lowest offsets, leaving
//   out the bins more than kCongestedMs above the line of the slope found
//   before (a second in which every frame was queued); three passes, each
//   clamped to kMaxDrift.
//   The line goes through the bin lowest under that slope.
// - A clock that steps (a frame that arrives more than kStepMs before the
//   line says it could, or a stamp more than kStepMs behind the previous
//   one) starts the mapping afresh from that frame.
// - Until a frame has arrived the mapping is unknown (Map returns the stamp).
//
// Not thread-safe: its owner serialises Add and Map.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace kestrova {

// The host's monotonic clock in ms, the time line every camera is put on.
inline double HostMs(std::chrono::steady_clock::time_point at) {
  return std::chrono::duration<double, std::milli>(at.time_since_epoch()).count();
}
inline double HostNowMs() { return HostMs(std::chrono::steady_clock::now()); }

class ClockMapping {
 public:
  static constexpr int kWindowSeconds = 30;
  static constexpr double kMaxDrift = 1e-3;       // 1000 ppm
  static constexpr double kMinDriftSpanMs = 8000;  // stamps before drift is estimated
  static constexpr std::int64_t kStepMs = 100;
  static constexpr double kCongestedMs = 2;

  // A frame stamped `stampMs` arrived at host time `arrivalMs`.
  void Add(std::int64_t stampMs, double arrivalMs);
  // Host time (ms) at which the frame stamped `stampMs` was taken, give or
  // take the camera's fixed delay.
  double Map(std::int64_t stampMs) const;
  bool Known() const { return bins_ > 0; }
  // The host clock's rate against the sensor's, minus one (ppm / 1e6).
  double Drift() const { return slope_; }
  // Clock steps seen (each restarted the mapping).
  int Steps() const { return steps_; }
  void Reset();

 private:
  struct Bin {
    std::int64_t second = 0;  // stamp / 1000
    std::int64_t stamp = 0;   // of the lowest offset
    double offset = 0;        // arrival - stamp, the lowest of the bin
  };

  void Refit();
  // The least-squares slope of the bins' offsets, leaving out those more
  // than `above` over the line `slope` (with `above` infinite: none).
  double FitSlope(double slope, double above) const;
  const Bin& At(int age) const;  // 0: the newest bin
  double LineOffset(std::int64_t stampMs) const;

  std::array<Bin, kWindowSeconds> ring_{};
  int newest_ = -1;
  int bins_ = 0;
  std::int64_t lastStamp_ = 0;
  // The fitted line: offset(stamp) = base_ + slope_ * (stamp - baseStamp_).
  double base_ = 0;
  double slope_ = 0;
  std::int64_t baseStamp_ = 0;
  int steps_ = 0;
};

}  // namespace kestrova
