#include "core/FramePacer.h"

#include <algorithm>
#include <thread>

namespace kestrova {

using Clock = std::chrono::steady_clock;

FramePacer::FramePacer(const Sensors& sensors, std::chrono::milliseconds nominalPeriod)
    : sensors_(sensors), period_(nominalPeriod), nextTick_(Clock::now() + nominalPeriod) {
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!sensors_[slot]) continue;
    usable_[slot] = true;
    frameEnds_[slot] = std::make_unique<ManualResetEvent>();
    sensors_[slot]->NuiSetFrameEndEvent(frameEnds_[slot].get(), 0);
  }
}

FramePacer::FramePacer(INuiSensor* sensor, std::chrono::milliseconds nominalPeriod)
    : FramePacer(Sensors{sensor, nullptr, nullptr, nullptr}, nominalPeriod) {}

FramePacer::~FramePacer() {
  for (INuiSensor* sensor : sensors_)
    if (sensor) sensor->NuiSetFrameEndEvent(nullptr, 0);
}

int FramePacer::PreferredSlot() const {
  for (int slot = 0; slot < kCameraCount; ++slot)
    if (usable_[slot]) return slot;
  return -1;
}

FramePacer::Wait FramePacer::NextTick(const std::atomic<bool>& keepGoing) {
  for (;;) {
    if (!keepGoing) return Wait::Stopped;
    Clock::time_point now = Clock::now();
    if (now >= nextTick_) {
      // Ticks that passed while the loop was busy collapse into one.
      nextTick_ = std::max(nextTick_ + period_, now);
      return Wait::Frame;
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(nextTick_ - now, kSlice));
  }
}

FramePacer::Wait FramePacer::Next(const std::atomic<bool>& keepGoing,
                                  std::chrono::milliseconds stallLimit) {
  const int preferred = PreferredSlot();
  if (preferred < 0) return NextTick(keepGoing);
  // Only frame ends from now on tell whether the preferred sensor is behind.
  std::array<int, kCameraCount> beats{};
  for (int slot = 0; slot < kCameraCount; ++slot)
    if (usable_[slot] && slot != preferred) frameEnds_[slot]->Reset();

  const Clock::time_point giveUp = Clock::now() + stallLimit;
  for (;;) {
    if (!keepGoing) return Wait::Stopped;
    ManualResetEvent& frameEnd = *frameEnds_[preferred];
    if (frameEnd.Wait(kSlice)) {
      frameEnd.Reset();
      return Wait::Frame;
    }
    if (sensors_[preferred]->NuiStreamEnded()) return Wait::Ended;
    for (int slot = 0; slot < kCameraCount; ++slot) {
      if (!usable_[slot] || slot == preferred || !frameEnds_[slot]->IsSet()) continue;
      frameEnds_[slot]->Reset();
      if (++beats[slot] >= kBeatsOfALateSensor) return Wait::Frame;
    }
    if (Clock::now() >= giveUp) return Wait::Stalled;
  }
}

}  // namespace kestrova
