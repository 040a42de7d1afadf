// Speed and size of keeping a depth frame: the lossless compression of one
// simulated frame into a DEPTHn.dat record, and reading it back.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/SceneFrame.h"
#include "capture/NuiSensor.h"
#include "record/DepthFrameFile.h"

namespace kestrova {
namespace {

void BM_EncodeDepthFrame(benchmark::State& state) {
  const auto& frame = SceneFrame(static_cast<int>(state.range(0)));
  DepthFrameEncoder encoder;
  std::vector<char> record;
  std::string error;
  for (auto _ : state) {
    encoder.Encode(0, 0, frame.data(), kDefaultDepthWidth, kDefaultDepthHeight, &record, &error);
    benchmark::DoNotOptimize(record.data());
  }
  state.counters["bytes"] = static_cast<double>(record.size());
  state.counters["ratio"] = 2.0 * kDefaultDepthPixels / static_cast<double>(record.size());
}
BENCHMARK(BM_EncodeDepthFrame)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

void BM_DecodeDepthFrame(benchmark::State& state) {
  const auto& frame = SceneFrame(0);
  DepthFrameEncoder encoder;
  std::vector<char> record;
  std::string error;
  encoder.Encode(0, 0, frame.data(), kDefaultDepthWidth, kDefaultDepthHeight, &record, &error);
  const std::string bytes = DepthFileHeaderBytes(kDefaultDepthWidth, kDefaultDepthHeight) +
                            std::string(record.begin(), record.end());
  const int fd = memfd_create("depth-frames", MFD_CLOEXEC);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    state.SkipWithError("no memory file");
    return;
  }
  lseek(fd, 0, SEEK_SET);
  DepthFrameReader reader;
  ReadFault fault;
  if (!reader.Adopt(fd, "DEPTH1.dat", &fault)) {
    state.SkipWithError(fault.Text().c_str());
    return;
  }
  DepthFrameRecord decoded;
  for (auto _ : state) {
    reader.Seek(kDepthFileHeaderBytes, 0, -1);
    if (!reader.Next(&decoded, &fault)) state.SkipWithError(fault.Text().c_str());
    benchmark::DoNotOptimize(decoded.pixels.data());
  }
}
BENCHMARK(BM_DecodeDepthFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestrova
