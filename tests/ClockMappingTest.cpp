// Putting a camera's stamps on the host clock from arrival times: exact
// for frames that are never queued, deaf to frames that are, and following
// a clock that drifts for an hour.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "capture/ClockMapping.h"

namespace kestrova {
namespace {

TEST(ClockMapping, FramesNeverQueuedMapToTheirArrivalLessNothing) {
  ClockMapping mapping;
  EXPECT_FALSE(mapping.Known());
  EXPECT_EQ(mapping.Map(1234), 1234.0);  // unknown: the stamp itself
  // Taken at host time 5000 + 33 k, stamped 1500 + 33 k, arriving 4 ms later.
  for (int k = 0; k < 10; ++k) mapping.Add(1500 + 33 * k, 5004.0 + 33 * k);
  EXPECT_EQ(mapping.Map(1500), 5004.0);
  EXPECT_EQ(mapping.Map(1500 + 33 * 20), 5004.0 + 33 * 20);
  // A frame queued for 30 ms changes nothing; one that comes faster than
  // any before moves the line to it.
  mapping.Add(1500 + 33 * 10, 5004.0 + 33 * 10 + 30);
  EXPECT_EQ(mapping.Map(1500 + 33 * 10), 5004.0 + 33 * 10);
  mapping.Add(1500 + 33 * 11, 5003.0 + 33 * 11);
  EXPECT_EQ(mapping.Map(1500), 5003.0);
}

// An hour at 30 frames a second of a camera whose clock runs `drift` off
// the host's; every frame comes 3 ms after it was taken plus a random
// queueing delay (exponential, mean 4 ms), and one second in every minute
// every frame is held up 40 to 80 ms more. After the first window, every
// frame is placed within 1.5 ms of when it was taken plus the 3 ms (the
// stamps are whole milliseconds, so a millisecond of that is rounding).
class ClockMappingDrift : public ::testing::TestWithParam<double> {};

TEST_P(ClockMappingDrift, AnHourOfQueueingAndCongestionStaysWithinAMillisecondAndAHalf) {
  const double drift = GetParam();
  std::mt19937 random(7);
  std::exponential_distribution<double> queueing(1.0 / 4);
  std::uniform_real_distribution<double> congestion(40, 80);
  ClockMapping mapping;
  double worst = 0;
  const int frames = 30 * 3600;
  for (int k = 0; k < frames; ++k) {
    const double taken = 100000.0 + k * 1000.0 / 30;  // host ms
    const auto stamp = static_cast<std::int64_t>(std::floor(250 + (taken - 100000.0) * (1 + drift)));
    double arrival = taken + 3 + queueing(random);
    if ((k / 30) % 60 == 59) arrival += congestion(random);
    mapping.Add(stamp, arrival);
    if (k >= 30 * ClockMapping::kWindowSeconds) worst = std::max(worst, std::abs(mapping.Map(stamp) - (taken + 3)));
  }
  EXPECT_LT(worst, 1.5) << "drift " << drift * 1e6 << " ppm";
  EXPECT_NEAR(mapping.Drift(), 1 / (1 + drift) - 1, 20e-6);
}

INSTANTIATE_TEST_SUITE_P(Drifts, ClockMappingDrift, ::testing::Values(0.0, 100e-6, -100e-6, 400e-6));

TEST(ClockMapping, AClockThatStepsIsFollowedFromItsNextFrame) {
  ClockMapping mapping;
  for (int k = 0; k < 100; ++k) mapping.Add(1000 + 33 * k, 9000.0 + 33 * k);
  // The camera's clock is reset: its stamps start again from 0.
  mapping.Add(0, 9000.0 + 33 * 100);
  EXPECT_EQ(mapping.Steps(), 1);
  EXPECT_EQ(mapping.Map(0), 9000.0 + 33 * 100);
  // It jumps 10 s ahead.
  mapping.Add(10033, 9000.0 + 33 * 101);
  EXPECT_EQ(mapping.Steps(), 2);
  EXPECT_EQ(mapping.Map(10033), 9000.0 + 33 * 101);
  // Stamps that only look out of step because frames were queued are no step.
  mapping.Add(10066, 9000.0 + 33 * 102 + 500);
  EXPECT_EQ(mapping.Steps(), 2);
}

}  // namespace
}  // namespace kestrova
