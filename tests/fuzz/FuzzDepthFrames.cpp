// libFuzzer target: the reader of a take's depth frames must survive any
// bytes without crashing or allocating more than one frame.
#include <cstdint>
#include <cstdio>

#include "record/DepthFrameFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace kestrova;
  std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (file == nullptr) return 0;
  DepthFrameReader reader;
  ReadFault fault;
  if (!reader.Open(file, size, "DEPTH1.dat", &fault)) return 0;
  DepthFrameRecord record;
  while (reader.Next(&record, &fault)) {
  }
  return 0;
}
