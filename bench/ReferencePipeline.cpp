// The per-camera pipeline built plainly from the library's filters, run on
// one camera's kept depth frames of a take with the take's own settings and
// lens: the yardstick for the recorder's CPU time on a replay of the same
// frames (bench/recorder-cpu.sh). Prints the frames and points it made.
//
//   kestrova-reference-pipeline TAKE [CAMERA]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/LibraryPipeline.h"
#include "capture/DepthConversion.h"
#include "record/DepthFrameFile.h"
#include "record/TakeLayout.h"
#include "record/TakeLens.h"
#include "settings/ParamsFile.h"

using namespace kestrova;

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: kestrova-reference-pipeline TAKE [CAMERA]\n");
    return 1;
  }
  const std::string take = argv[1];
  const int slot = argc > 2 ? std::atoi(argv[2]) - 1 : 0;
  if (slot < 0 || slot >= kCameraCount) {
    std::fprintf(stderr, "the camera is 1 to %d\n", kCameraCount);
    return 1;
  }
  std::ifstream paramsFile(take + "/" + kTakeSettingsFile, std::ios::binary);
  if (!paramsFile) {
    std::fprintf(stderr, "%s/%s cannot be read\n", take.c_str(), kTakeSettingsFile);
    return 1;
  }
  std::stringstream params;
  params << paramsFile.rdbuf();
  OperatorSettings settings;
  CameraSettings cameras;
  for (int i = 0; i < kCameraCount; ++i) cameras[i] = DefaultCameraSetting(i);
  ParseParams(params.str(), settings, cameras);

  TakeLens lens;
  ReadFault fault;
  DepthFrameReader reader;
  const std::string name = CameraFileName(CameraFile::Depth, slot);
  if (!ReadTakeLens(take, &lens, &fault) || !reader.Open(take + "/" + name, name, &fault)) {
    std::fprintf(stderr, "%s\n", fault.Text().c_str());
    return 1;
  }
  DepthFrameRecord record;
  long long frames = 0, points = 0;
  Cloud work, out;
  while (reader.Next(&record, &fault)) {
    const DepthFrameView frame{record.pixels.data(), lens.formats[slot]};
    LibraryPipeline(PlainConvert(frame, DepthLimit(cameras[slot].maxDepth)), settings, cameras[slot],
                    FilterInputs::kHeapCopies, work, out);
    ++frames;
    points += static_cast<long long>(out.size());
  }
  if (fault.any) {
    std::fprintf(stderr, "%s\n", fault.Text().c_str());
    return 1;
  }
  std::printf("%lld frames, %lld points\n", frames, points);
  return 0;
}
