// Scanning a take's point stream: what verify and export pay per record.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "record/TakeReader.h"

namespace {

// A file of `records` empty records (a count of 0 each), removed at the end.
class EmptyRecords {
 public:
  explicit EmptyRecords(long records) {
    char name[] = "/tmp/kestrova-bench-XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    if (fd < 0 || ftruncate(fd, 4L * records) != 0) std::abort();
    close(fd);
  }
  ~EmptyRecords() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void BM_SkipEmptyRecords(benchmark::State& state) {
  const long records = state.range(0);
  EmptyRecords file(records);
  for (auto _ : state) {
    kestrova::PointStreamReader reader;
    kestrova::ReadFault fault;
    if (!reader.Open(file.path(), "PCL1.dat", &fault)) std::abort();
    std::uint32_t count;
    long read = 0;
    while (reader.Skip(&count, &fault)) ++read;
    if (read != records) std::abort();
  }
  state.SetItemsProcessed(state.iterations() * records);
  state.SetBytesProcessed(state.iterations() * records * 4);
}
BENCHMARK(BM_SkipEmptyRecords)->Arg(10000000)->Unit(benchmark::kMillisecond);

}  // namespace
