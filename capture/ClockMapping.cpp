#include "capture/ClockMapping.h"

#include <algorithm>
#include <limits>

namespace kestrova {

namespace {
std::int64_t SecondOf(std::int64_t stampMs) {
  return stampMs >= 0 ? stampMs / 1000 : (stampMs - 999) / 1000;
}
}  // namespace

void ClockMapping::Reset() {
  newest_ = -1;
  bins_ = 0;
  base_ = 0;
  slope_ = 0;
  baseStamp_ = 0;
}

const ClockMapping::Bin& ClockMapping::At(int age) const {
  return ring_[(newest_ - age + kWindowSeconds) % kWindowSeconds];
}

double ClockMapping::LineOffset(std::int64_t stampMs) const {
  return base_ + slope_ * static_cast<double>(stampMs - baseStamp_);
}

void ClockMapping::Add(std::int64_t stampMs, double arrivalMs) {
  const double offset = arrivalMs - static_cast<double>(stampMs);
  // Queueing only ever delays a frame: one that comes well before the line
  // says it could, or a stamp that went back, means the clock stepped.
  if (bins_ > 0 && (stampMs < lastStamp_ - kStepMs || offset < LineOffset(stampMs) - kStepMs)) {
    Reset();
    ++steps_;
  }
  lastStamp_ = stampMs;
  const std::int64_t second = SecondOf(stampMs);
  if (bins_ == 0 || second > At(0).second) {
    newest_ = (newest_ + 1) % kWindowSeconds;
    ring_[newest_] = {second, stampMs, offset};
    bins_ = std::min(bins_ + 1, kWindowSeconds);
  } else {
    // This second's bin, or an older one still in the window (a frame that
    // came out of order); older still is forgotten.
    for (int age = 0; age < bins_; ++age) {
      Bin& bin = ring_[(newest_ - age + kWindowSeconds) % kWindowSeconds];
      if (bin.second != second) continue;
      if (offset < bin.offset) bin.stamp = stampMs, bin.offset = offset;
      break;
    }
  }
  Refit();
}

double ClockMapping::FitSlope(double slope, double above) const {
  // Relative to the newest bin, so the sums stay small.
  const Bin& newest = At(0);
  double lowest = std::numeric_limits<double>::infinity();
  for (int age = 0; age < bins_; ++age)
    lowest = std::min(lowest, At(age).offset - slope * static_cast<double>(At(age).stamp - newest.stamp));
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (int age = 0; age < bins_; ++age) {
    const double x = static_cast<double>(At(age).stamp - newest.stamp);
    const double y = At(age).offset - newest.offset;
    if (y - slope * x > lowest - newest.offset + above) continue;
    n += 1, sx += x, sy += y, sxx += x * x, sxy += x * y;
  }
  const double spread = n * sxx - sx * sx;
  return n >= 3 && spread > 0 ? (n * sxy - sx * sy) / spread : slope;
}

void ClockMapping::Refit() {
  const Bin& newest = At(0);
  const Bin& oldest = At(bins_ - 1);
  if (bins_ < 4 || static_cast<double>(newest.stamp - oldest.stamp) < kMinDriftSpanMs) slope_ = 0;
  if (bins_ >= 4 && static_cast<double>(newest.stamp - oldest.stamp) >= kMinDriftSpanMs) {
    // From the slope found before: the bins of seconds in which every
    // frame was queued lie well above its line and are left out.
    double slope = slope_;
    for (int pass = 0; pass < 3; ++pass) slope = std::clamp(FitSlope(slope, kCongestedMs), -kMaxDrift, kMaxDrift);
    slope_ = slope;
  }
  // The line lies under every bin and touches the lowest.
  baseStamp_ = newest.stamp;
  base_ = std::numeric_limits<double>::infinity();
  for (int age = 0; age < bins_; ++age) {
    const Bin& bin = At(age);
    base_ = std::min(base_, bin.offset - slope_ * static_cast<double>(bin.stamp - baseStamp_));
  }
}

double ClockMapping::Map(std::int64_t stampMs) const {
  if (!Known()) return static_cast<double>(stampMs);
  return static_cast<double>(stampMs) + LineOffset(stampMs);
}

}  // namespace kestrova
