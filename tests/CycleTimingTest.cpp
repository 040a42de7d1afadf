// Telling the cycles whose frames were taken at one moment from those where
// a camera handed over an older frame, by the frames' times (on one clock,
// or each camera's own stamps).
#include <gtest/gtest.h>

#include "align/CycleTiming.h"

namespace kestrova {
namespace {

// Three cameras whose clocks were started 7919 ms apart; cycle k's frames
// are taken at 667 k ms, one frame period being 33 ms.
std::vector<CycleStamps> ThreeCameras(int cycles) {
  std::vector<CycleStamps> out(cycles);
  for (int k = 0; k < cycles; ++k) {
    for (int slot = 0; slot < 3; ++slot) {
      out[k].present[slot] = true;
      out[k].time[slot] = 1500 + 7919 * slot + 667 * k;
    }
  }
  return out;
}

const std::array<bool, kCameraCount> kFirstThree{true, true, true, false};

std::vector<bool> Steps(std::initializer_list<int> flags) {
  std::vector<bool> out;
  for (int f : flags) out.push_back(f != 0);
  return out;
}

TEST(CyclesInStep, ACameraHandingOverAnOlderFrameTakesItsCycleOut) {
  std::vector<CycleStamps> cycles = ThreeCameras(5);
  EXPECT_EQ(CyclesInStep(cycles, kFirstThree), Steps({1, 1, 1, 1, 1}));
  cycles[2].time[1] -= 33;  // camera 2, a frame behind in cycle 2
  EXPECT_EQ(CyclesInStep(cycles, kFirstThree), Steps({1, 1, 0, 1, 1}));
  cycles[4].time[2] -= 66;  // camera 3, two frames behind in cycle 4
  EXPECT_EQ(CyclesInStep(cycles, kFirstThree), Steps({1, 1, 0, 1, 0}));
}

TEST(CyclesInStep, TheFirstCameraBehindShowsInEveryOthersGap) {
  std::vector<CycleStamps> cycles = ThreeCameras(5);
  cycles[1].time[0] -= 33;
  EXPECT_EQ(CyclesInStep(cycles, kFirstThree), Steps({1, 0, 1, 1, 1}));
}

TEST(CyclesInStep, JitterOfAFewMillisecondsIsNoStep) {
  std::vector<CycleStamps> cycles = ThreeCameras(4);
  cycles[0].time[1] += 4;
  cycles[1].time[1] -= 4;   // 8 ms from cycle 0's gap: still within
  cycles[2].time[2] += 8;
  cycles[3].time[0] += 3;
  EXPECT_EQ(CyclesInStep(cycles, kFirstThree), Steps({1, 1, 1, 1}));
  cycles[3].time[2] += 20;  // 17 ms off (less the first camera's 3): out
  EXPECT_EQ(CyclesInStep(cycles, kFirstThree), Steps({1, 1, 1, 0}));
}

TEST(CyclesInStep, AMissingFrameOfAWantedCameraTakesItsCycleOut) {
  std::vector<CycleStamps> cycles = ThreeCameras(3);
  cycles[1].present[2] = false;
  EXPECT_EQ(CyclesInStep(cycles, kFirstThree), Steps({1, 0, 1}));
  // Camera 4 is not wanted: that it never delivered does not count.
  EXPECT_EQ(CyclesInStep(cycles, {true, true, false, false}), Steps({1, 1, 1}));
}

TEST(CyclesInStep, TheGapMostCyclesShowIsTheUsualOne) {
  std::vector<CycleStamps> cycles = ThreeCameras(5);
  // Camera 2 behind in the first two cycles, in step from then on.
  cycles[0].time[1] -= 33;
  cycles[1].time[1] -= 33;
  EXPECT_EQ(CyclesInStep(cycles, kFirstThree), Steps({0, 0, 1, 1, 1}));
  // Behind in every cycle alike: nothing to tell it by.
  for (CycleStamps& cycle : cycles) cycle.time[1] = cycle.time[0] + 7919 - 33;
  EXPECT_EQ(CyclesInStep(cycles, kFirstThree), Steps({1, 1, 1, 1, 1}));
}

TEST(OffsetChanges, NamesTheFirstCameraWhoseOffsetTakesTwoValues) {
  std::vector<CycleStamps> cycles = ThreeCameras(6);
  EXPECT_EQ(OffsetChanges(cycles, kFirstThree), -1);
  for (int k = 0; k < 6; ++k) cycles[k].time[2] += 5;  // jitter within 8 ms: one offset
  cycles[4].time[1] -= 4;
  EXPECT_EQ(OffsetChanges(cycles, kFirstThree), -1);
  for (int k = 3; k < 6; ++k) cycles[k].time[2] -= 33;  // camera 3 a frame behind from cycle 3 on
  EXPECT_EQ(OffsetChanges(cycles, kFirstThree), 2);
  cycles[5].time[1] += 33;  // camera 2 too, in one cycle: the first such camera is named
  EXPECT_EQ(OffsetChanges(cycles, kFirstThree), 1);
  cycles[5].present[1] = false;  // a cycle a camera missed says nothing
  EXPECT_EQ(OffsetChanges(cycles, kFirstThree), 2);
}

TEST(CyclesInStep, NoCyclesNoSteps) {
  EXPECT_TRUE(CyclesInStep({}, kFirstThree).empty());
  // A single camera is always in step with itself.
  EXPECT_EQ(CyclesInStep(ThreeCameras(2), {false, true, false, false}), Steps({1, 1}));
}

}  // namespace
}  // namespace kestrova
