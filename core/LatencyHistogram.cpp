#include "core/LatencyHistogram.h"

#include <algorithm>
#include <cmath>

namespace kestrova {

void LatencyHistogram::Add(double ms) {
  const double bin = std::floor(std::max(0.0, ms) / kBinMs);
  bins_[static_cast<int>(std::min<double>(bin, kBins - 1))].fetch_add(1, std::memory_order_relaxed);
}

void LatencyHistogram::Clear() {
  for (auto& bin : bins_) bin.store(0, std::memory_order_relaxed);
}

std::uint64_t LatencyHistogram::Count() const {
  std::uint64_t count = 0;
  for (const auto& bin : bins_) count += bin.load(std::memory_order_relaxed);
  return count;
}

double LatencyHistogram::Quantile(double fraction) const {
  const std::uint64_t count = Count();
  if (count == 0) return 0;
  // The rank of the sample asked for, counted from 1.
  const auto rank = static_cast<std::uint64_t>(std::max(1.0, std::ceil(fraction * static_cast<double>(count))));
  std::uint64_t seen = 0;
  for (int i = 0; i < kBins; ++i) {
    seen += bins_[i].load(std::memory_order_relaxed);
    if (seen >= rank) return (i + 1) * kBinMs;
  }
  return kLongestMs;
}

}  // namespace kestrova
