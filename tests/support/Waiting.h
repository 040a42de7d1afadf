// Bounded waiting for tests: a condition polled until it holds or a limit
// passes, so a test that goes wrong fails instead of hanging.
#pragma once

#include <chrono>
#include <thread>

namespace kestrova::testing {

template <class Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto giveUp = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace kestrova::testing
