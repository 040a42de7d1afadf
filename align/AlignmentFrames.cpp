#include "align/AlignmentFrames.h"

#include <sys/stat.h>

#include <map>

#include "capture/DepthConversion.h"
#include "record/DepthFrameFile.h"
#include "record/TakeLayout.h"

namespace kestrova {

namespace {

std::string CameraName(int slot) { return "camera " + std::to_string(slot + 1); }

}  // namespace

void AddDepthFrame(const std::uint16_t* pixels, int pixelCount, const CameraSetting& camera,
                   pcl::PointCloud<pcl::PointXYZ>& cloud) {
  pcl::PointCloud<pcl::PointXYZ> frame;
  ConvertDepthFrame(pixels, pixelCount, DepthLimit(camera.maxDepth), frame);
  cloud += frame;
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
  // Frame number -> the pixels of each camera, so that every camera's cloud
  // holds the same cycles.
  std::map<std::int32_t, std::array<std::vector<std::uint16_t>, kCameraCount>> frames;
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
    // Every kFramesBetweenAlignCycles-th frame number, as live.
    DepthFrameRecord record;
    int kept = 0;
    while (kept < cycles + 2 && reader.Next(&record, &fault)) {
      if (record.frame % kFramesBetweenAlignCycles != 0) continue;
      frames[record.frame][slot] = record.pixels;
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
  for (const auto& cycle : frames) {
    if (out->cycles == cycles) break;
    bool complete = true;
    for (int slot = 0; slot < kCameraCount; ++slot)
      if (enabled[slot] && cycle.second[slot].empty()) complete = false;
    if (!complete) continue;  // a cycle some camera missed
    for (int slot = 0; slot < kCameraCount; ++slot) {
      if (!enabled[slot]) continue;
      AddDepthFrame(cycle.second[slot].data(), static_cast<int>(cycle.second[slot].size()), cameras[slot],
               out->clouds[slot]);
      out->present[slot] = true;
    }
    ++out->cycles;
  }
  if (out->cycles == 0) {
    *error = takeDir + " holds no cycle with a depth frame of every enabled camera";
    return false;
  }
  return true;
}

}  // namespace kestrova
