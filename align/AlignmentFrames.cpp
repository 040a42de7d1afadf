#include "align/AlignmentFrames.h"

#include <sys/stat.h>

#include <map>
#include <memory>

#include "capture/DepthConversion.h"
#include "record/DepthFrameFile.h"

namespace kestrova {

namespace {

// Frames let pass between two gathered cycles (two thirds of a second at 30
// frames a second).
constexpr int kFramesBetweenCycles = 20;

std::string CameraName(int slot) { return "camera " + std::to_string(slot + 1); }

void AddFrame(const std::uint16_t* pixels, int pixelCount, const CameraSetting& camera,
              pcl::PointCloud<pcl::PointXYZ>& cloud) {
  pcl::PointCloud<pcl::PointXYZ> frame;
  ConvertDepthFrame(pixels, pixelCount, DepthLimit(camera.maxDepth), frame);
  cloud += frame;
}

struct OpenSensor {
  std::unique_ptr<INuiSensor> sensor;
  NuiStreamHandle stream = kNoStream;
  ~OpenSensor() {
    if (sensor) sensor->NuiShutdown();
  }
};

}  // namespace

std::array<bool, kCameraCount> EnabledCameraSlots(const OperatorSettings& settings) {
  std::array<bool, kCameraCount> enabled{};
  for (int slot = 0; slot < kCameraCount; ++slot) enabled[slot] = settings.cameraEnabled[slot] != 0;
  return enabled;
}

bool GatherLiveClouds(SensorBackend& backend, const OperatorSettings& settings,
                      const CameraSettings& cameras, int cycles, int frameWaitMs,
                      AlignmentClouds* out, std::string* error) {
  *out = AlignmentClouds();
  const std::array<bool, kCameraCount> enabled = EnabledCameraSlots(settings);
  std::array<OpenSensor, kCameraCount> open;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!enabled[slot]) continue;
    OpenSensor& s = open[slot];
    if (!Succeeded(backend.NuiCreateSensorByIndex(slot, &s.sensor)) || !s.sensor ||
        !Succeeded(s.sensor->NuiInitialize(NUI_INITIALIZE_FLAG_USES_DEPTH)) ||
        !Succeeded(s.sensor->NuiImageStreamOpen(NUI_IMAGE_TYPE_DEPTH, NUI_IMAGE_RESOLUTION_320x240,
                                                NUI_IMAGE_STREAM_FLAG_ENABLE_NEAR_MODE, 2, nullptr,
                                                &s.stream))) {
      *error = CameraName(slot) + " is enabled but has no working sensor";
      return false;
    }
  }
  for (int cycle = 0; cycle < cycles; ++cycle) {
    // Frames between the gathered ones are let pass, so that what moves
    // shows in other places; camera by camera in turn, so that the cameras
    // keep in step.
    for (int passed = 0; passed < kFramesBetweenCycles && cycle > 0; ++passed) {
      for (int slot = 0; slot < kCameraCount; ++slot) {
        NuiImageFrame frame;
        if (enabled[slot] && Succeeded(open[slot].sensor->NuiImageStreamGetNextFrame(
                                 open[slot].stream, static_cast<std::uint32_t>(frameWaitMs), &frame)))
          open[slot].sensor->NuiImageStreamReleaseFrame(open[slot].stream, &frame);
      }
    }
    for (int slot = 0; slot < kCameraCount; ++slot) {
      if (!enabled[slot]) continue;
      NuiImageFrame frame;
      if (!Succeeded(open[slot].sensor->NuiImageStreamGetNextFrame(
              open[slot].stream, static_cast<std::uint32_t>(frameWaitMs), &frame)) ||
          frame.pFrameTexture == nullptr)
        continue;  // a missed frame: the other cycles still count
      NuiLockedRect locked;
      if (Succeeded(frame.pFrameTexture->LockRect(0, &locked, nullptr, 0))) {
        AddFrame(reinterpret_cast<const std::uint16_t*>(locked.pBits), locked.size / 2, cameras[slot],
                 out->clouds[slot]);
        out->present[slot] = true;
      }
      open[slot].sensor->NuiImageStreamReleaseFrame(open[slot].stream, &frame);
    }
    out->cycles = cycle + 1;
  }
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (enabled[slot] && !out->present[slot]) {
      *error = CameraName(slot) + " delivered no depth frame";
      return false;
    }
  }
  return true;
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
    const std::string name = "DEPTH" + std::to_string(slot + 1) + ".dat";
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
    // Every kFramesBetweenCycles-th frame number, as live.
    DepthFrameRecord record;
    int kept = 0;
    while (kept < cycles + 2 && reader.Next(&record, &fault)) {
      if (record.frame % kFramesBetweenCycles != 0) continue;
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
      AddFrame(cycle.second[slot].data(), static_cast<int>(cycle.second[slot].size()), cameras[slot],
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
