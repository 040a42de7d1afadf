// libFuzzer target: the settings-file reader must survive any bytes.
#include <cstdint>
#include <cstdio>
#include <string>

#include "settings/ParamsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace kestrova;
  OperatorSettings settings;
  CameraSettings cameras;
  ParseParams(std::string(reinterpret_cast<const char*>(data), size), settings, cameras);
  std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (file) ReadParams(file, settings, cameras);  // closes it
  return 0;
}
