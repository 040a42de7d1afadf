// libFuzzer target: the readers of a take's point stream and time-stamp
// list must survive any bytes without crashing or allocating more than the
// input holds.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "record/TakeReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace kestrova;
  std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (file) {
    PointStreamReader reader;
    reader.Open(file, size, "PCL1.dat");
    std::vector<float> xyz;
    ReadFault fault;
    while (reader.Next(&xyz, &fault)) {
    }
  }
  std::vector<TimeStampLine> lines;
  ReadFault fault;
  ParseTimeStamps(std::string(reinterpret_cast<const char*>(data), size), "TS1.txt", &lines, &fault);
  return 0;
}
