#include "core/FramePacer.h"

#include <algorithm>
#include <thread>

namespace kestrova {

using Clock = std::chrono::steady_clock;

FramePacer::FramePacer(INuiSensor* sensor, std::chrono::milliseconds nominalPeriod)
    : sensor_(sensor), period_(nominalPeriod), nextTick_(Clock::now() + nominalPeriod) {
  if (sensor_) sensor_->NuiSetFrameEndEvent(&frameEnd_, 0);
}

FramePacer::~FramePacer() {
  if (sensor_) sensor_->NuiSetFrameEndEvent(nullptr, 0);
}

FramePacer::Wait FramePacer::Next(const std::atomic<bool>& keepGoing,
                                  std::chrono::milliseconds stallLimit) {
  const Clock::time_point giveUp = Clock::now() + stallLimit;
  for (;;) {
    if (!keepGoing) return Wait::Stopped;
    if (sensor_) {
      if (frameEnd_.Wait(kSlice)) {
        frameEnd_.Reset();
        return Wait::Frame;
      }
      if (sensor_->NuiStreamEnded()) return Wait::Ended;
    } else {
      Clock::time_point now = Clock::now();
      if (now >= nextTick_) {
        // Ticks that passed while the loop was busy collapse into one.
        nextTick_ = std::max(nextTick_ + period_, now);
        return Wait::Frame;
      }
      std::this_thread::sleep_for(std::min<Clock::duration>(nextTick_ - now, kSlice));
    }
    if (Clock::now() >= giveUp) return Wait::Stalled;
  }
}

}  // namespace kestrova
