// What a loop's cycles are counted as: the frames each camera's stamps show
// it never handed over (at its own frame period, whatever the rate; nothing
// for stamps that jump or go back), the cycles it missed, and the spread.
#include <gtest/gtest.h>

#include "core/CycleStatistics.h"

namespace kestrova {
namespace {

// A cycle in which camera 1 delivered a frame stamped `stamp` (a camera of
// `periodMs`), or none.
AssembledCycle Cycle(bool delivered, std::int64_t stamp, double periodMs, double spreadMs = 0) {
  AssembledCycle cycle;
  cycle.results[0] = delivered ? GrabResult::Delivered : GrabResult::NoFrame;
  cycle.frames[0].stamp = stamp;
  cycle.frames[0].periodMs = periodMs;
  cycle.spreadMs = spreadMs;
  return cycle;
}

TEST(CycleStatistics, DroppedFramesAtTheCamerasOwnRateAndNoneForStampsThatJump) {
  struct Case {
    const char* what;
    std::vector<std::int64_t> stamps;  // -1: no frame in that cycle
    double periodMs;
    std::uint64_t dropped, missed;
  } cases[] = {
      {"every frame at 30 a second", {1000, 1033, 1067, 1100}, 1000.0 / 30, 0, 0},
      {"one lost at 30 a second", {1000, 1033, 1100, 1133}, 1000.0 / 30, 1, 0},
      {"a station at 15 a second loses none", {1000, 1067, 1133, 1200}, 1000.0 / 15, 0, 0},
      {"two lost at 15 a second", {1000, 1200}, 1000.0 / 15, 2, 0},
      {"a cycle without the camera", {1000, -1, 1067}, 1000.0 / 30, 1, 1},
      {"a stamp that goes back", {5000, 1000, 1033}, 1000.0 / 30, 0, 0},
      {"a hostile jump of days", {1000, 1000 + 86400000LL * 3, 1000 + 86400000LL * 3 + 33}, 1000.0 / 30, 0, 0},
      {"an outage of minutes is a loss, not drops", {1000, 121000}, 1000.0 / 30, 0, 0},
  };
  for (const Case& c : cases) {
    CycleStatistics statistics;
    statistics.Start({true, false, false, false});
    for (std::int64_t stamp : c.stamps) statistics.Count(Cycle(stamp >= 0, stamp, c.periodMs));
    EXPECT_EQ(statistics.Dropped(0), c.dropped) << c.what;
    EXPECT_EQ(statistics.Missed(0), c.missed) << c.what;
    EXPECT_EQ(statistics.Cycles(), c.stamps.size()) << c.what;
  }
}

TEST(CycleStatistics, TheLargestSpreadOfARunAndANewRunCountsAfresh) {
  CycleStatistics statistics;
  statistics.Start({true, false, false, false});
  for (double spread : {1.5, 4.25, 2.0}) statistics.Count(Cycle(true, 1000, 33.3, spread));
  EXPECT_EQ(statistics.LargestSpreadMs(), 4.25);
  EXPECT_EQ(statistics.LastSpreadMs(), 2.0);
  statistics.Start({true, false, false, false});
  EXPECT_EQ(statistics.LargestSpreadMs(), 0.0);
  EXPECT_EQ(statistics.Cycles(), 0u);
}

}  // namespace
}  // namespace kestrova
