#include "align/AlignmentFrames.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "align/CycleTiming.h"
#include "capture/DepthConversion.h"
#include "record/DepthFrameFile.h"
#include "record/TakeClock.h"
#include "record/TakeLayout.h"
#include "record/TakeLens.h"

namespace kestrova {

namespace {

std::string CameraName(int slot) { return "camera " + std::to_string(slot + 1); }

}  // namespace

void AddDepthFrame(const DepthFrameView& frame, const CameraSetting& camera, pcl::PointCloud<pcl::PointXYZ>& cloud) {
  const int limit = DepthLimit(camera.maxDepth);
  const DepthFrameFormat& format = frame.format;
  const double cu = InverseFocalLength(format.lens.fx), cv = InverseFocalLength(format.lens.fy);
  for (int row = 0; row < format.height; ++row) {
    for (int column = 0; column < format.width; ++column) {
      const int d = frame.At(column, row) >> kDepthPixelShift;
      if (d < 8 || d > limit) continue;  // under 8 mm: no reading, as in the pipeline
      const float z = static_cast<float>(d) / kMillimetresPerPclUnit;
      cloud.push_back(pcl::PointXYZ(static_cast<float>((column - format.lens.cx) * cu * z),
                                    static_cast<float>((format.lens.cy - row) * cv * z), z));
    }
  }
}

void AddCyclesInStep(const std::vector<GatheredCycle>& gathered, const std::array<bool, kCameraCount>& wanted,
                     const CameraSettings& cameras, int cycles, AlignmentClouds* out) {
  std::vector<CycleStamps> stamps;
  for (const GatheredCycle& cycle : gathered) stamps.push_back(cycle.stamps);
  const std::vector<bool> inStep = CyclesInStep(stamps, wanted);
  for (size_t k = 0; k < gathered.size() && out->cycles < cycles; ++k) {
    if (!inStep[k]) {  // a cycle some camera missed, or gave an older frame in
      ++out->leftOut;
      continue;
    }
    for (int slot = 0; slot < kCameraCount; ++slot) {
      if (!wanted[slot]) continue;
      const std::vector<std::uint16_t>& pixels = gathered[k].pixels[slot];
      const DepthFrameFormat& format = gathered[k].formats[slot];
      if (pixels.size() < format.BufferPixels()) continue;  // none gathered
      AddDepthFrame(DepthFrameView{pixels.data(), format}, cameras[slot], out->clouds[slot]);
      out->present[slot] = true;
    }
    ++out->cycles;
  }
}

std::array<bool, kCameraCount> EnabledCameraSlots(const OperatorSettings& settings) {
  std::array<bool, kCameraCount> enabled{};
  for (int slot = 0; slot < kCameraCount; ++slot) enabled[slot] = settings.cameraEnabled[slot] != 0;
  return enabled;
}

bool GatherTakeClouds(const std::string& takeDir, const OperatorSettings& settings,
                      const CameraSettings& cameras, int cycles, AlignmentClouds* out,
                      std::string* error) {
  *out = AlignmentClouds();
  const std::array<bool, kCameraCount> enabled = EnabledCameraSlots(settings);
  // The recorder's clock, when the take kept it, puts every camera's frames
  // on one time line; without it only each camera's own stamps are known.
  TakeClock clock;
  ReadFault clockFault;
  bool onClock = clock.Read(takeDir, &clockFault);
  if (clockFault.any) {
    *error = clockFault.Text();
    return false;
  }
  // Each camera's frames are of the size and lens the take recorded.
  TakeLens lens;
  if (!ReadTakeLens(takeDir, &lens, &clockFault)) {
    *error = clockFault.Text();
    return false;
  }
  // Frame number -> the pixels and stamps of each camera, so that every
  // camera's cloud holds the same cycles.
  std::map<std::int32_t, GatheredCycle> frames;
  bool anyEnabled = false;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!enabled[slot]) continue;
    anyEnabled = true;
    const std::string name = CameraFileName(CameraFile::Depth, slot);
    const std::string path = takeDir + "/" + name;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
      *error = takeDir + " holds no depth frames of " + CameraName(slot) + " (" + name +
               "): only a take recorded with depth frames kept (--keep-depth) can be aligned";
      return false;
    }
    DepthFrameReader reader;
    ReadFault fault;
    if (!reader.Open(path, name, &fault)) {
      *error = fault.reason.empty() ? "cannot read " + path : fault.Text();
      return false;
    }
    const DepthFrameFormat& format = lens.formats[slot];
    if (reader.Header().width != format.width || reader.Header().height != format.height) {
      *error = name + " holds frames of " + SizeText(reader.Header().width, reader.Header().height) + ", but " +
               kTakeLensFile + " gives " + CameraName(slot) + " " + SizeText(format.width, format.height);
      return false;
    }
    // Every kFramesBetweenAlignCycles-th frame number, as live.
    DepthFrameRecord record;
    int kept = 0;
    // Enough to make up for cycles some camera missed or was out of step in.
    while (kept < kGatheredPerWantedCycle * cycles && reader.Next(&record, &fault)) {
      if (record.frame % kFramesBetweenAlignCycles != 0) continue;
      GatheredCycle& cycle = frames[record.frame];
      cycle.pixels[slot] = std::move(record.pixels);
      cycle.formats[slot] = format;
      cycle.stamps.time[slot] = onClock && clock.Has(slot + 1) ? clock.Map(slot + 1, record.frame, record.stamp)
                                                              : static_cast<double>(record.stamp);
      cycle.stamps.present[slot] = true;
      ++kept;
    }
    if (fault.any) {
      *error = fault.Text();
      return false;
    }
  }
  if (!anyEnabled) {
    *error = "no camera is enabled in the take's settings";
    return false;
  }
  for (int slot = 0; slot < kCameraCount; ++slot) onClock = onClock && (!enabled[slot] || clock.Has(slot + 1));
  std::vector<GatheredCycle> gathered;
  for (auto& cycle : frames) gathered.push_back(std::move(cycle.second));
  if (!onClock) {
    std::vector<CycleStamps> stamps;
    for (const GatheredCycle& cycle : gathered) stamps.push_back(cycle.stamps);
    const int changed = OffsetChanges(stamps, enabled);
    if (changed >= 0) {
      *error = CameraName(changed) + "'s frames lie at more than one offset to the others' in " + takeDir +
               " (it fell behind or caught up during the take), and the take keeps no clock file (" +
               kTakeClockFile + "): which of its frames are of the others' moment cannot be told. "
               "Record the take again with this version, which keeps its clock";
      return false;
    }
  }
  AddCyclesInStep(gathered, enabled, cameras, cycles, out);
  if (out->cycles == 0) {
    *error = takeDir + " holds no cycle with depth frames of every enabled camera taken at one moment";
    return false;
  }
  return true;
}

}  // namespace kestrova
