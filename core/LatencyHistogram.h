// A histogram of latencies (ms) that threads add to at once without a lock
// and without allocating: bins of 0.1 ms up to kLongestMs, and one bin for
// everything longer. For the time from a frame's arrival to its record in
// the take's files.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace kestrova {

class LatencyHistogram {
 public:
  static constexpr double kBinMs = 0.1;
  static constexpr double kLongestMs = 2000;

  void Add(double ms);
  void Clear();
  std::uint64_t Count() const;
  // The latency that `fraction` (0..1) of the samples do not exceed: the
  // upper edge of its bin; kLongestMs and more land in the last bin. 0
  // without samples.
  double Quantile(double fraction) const;

 private:
  static constexpr int kBins = static_cast<int>(kLongestMs / kBinMs) + 1;
  std::array<std::atomic<std::uint32_t>, kBins> bins_{};
};

}  // namespace kestrova
