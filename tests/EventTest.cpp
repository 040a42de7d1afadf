// The manual-reset event that paces the loops.
#include <gtest/gtest.h>

#include <thread>

#include "capture/Event.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;

TEST(ManualResetEvent, StartsUnsignalledAndWaitsRunOut) {
  ManualResetEvent event;
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(10ms));
}

TEST(ManualResetEvent, StaysSetForEveryWaiterUntilReset) {
  ManualResetEvent event;
  event.Set();
  EXPECT_TRUE(event.Wait(0ms));
  EXPECT_TRUE(event.Wait(0ms));  // manual reset: a wait does not consume it
  event.Reset();
  EXPECT_FALSE(event.Wait(0ms));
}

TEST(ManualResetEvent, SetFromAnotherThreadWakesAllWaiters) {
  ManualResetEvent event;
  std::atomic<int> woken{0};
  std::thread a([&] { woken += event.Wait(10s); });
  std::thread b([&] { woken += event.Wait(10s); });
  std::this_thread::sleep_for(20ms);
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(woken, 2);
}

}  // namespace
}  // namespace kestrova
