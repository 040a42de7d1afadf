#include "tools/TakeExport.h"
#include "tools/ExportPoint.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <type_traits>

#include <pcl/common/io.h>
#include <pcl/console/print.h>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>
#include <pcl/point_types.h>

#include "record/TakeFrames.h"
#include "record/TakeTimes.h"
#include "tools/ExportManifest.h"

namespace kestrova {

namespace fs = std::filesystem;
using ColourCloud = pcl::PointCloud<pcl::PointXYZRGB>;
using MergedCloud = pcl::PointCloud<CameraPoint>;

namespace {

bool ParseFrame(const std::string& text, std::int64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || v < 0) return false;
  *value = v;
  return true;
}

// PCL refuses to write an empty PLY file; a frame without points still gets
// a valid one, with the vertex properties PCL writes for such points.
bool WriteEmptyPly(const std::string& path, bool withCamera) {
  std::ofstream out(path, std::ios::binary);
  out << "ply\nformat binary_little_endian 1.0\nelement vertex 0\nproperty float x\n"
         "property float y\nproperty float z\nproperty uchar red\nproperty uchar green\n"
         "property uchar blue\n"
      << (withCamera ? "property uchar camera\n" : "") << "end_header\n";
  return static_cast<bool>(out);
}

template <typename Point>
bool Save(const std::string& path, const pcl::PointCloud<Point>& cloud, bool ply, std::string* error) {
  int result = 0;
  if (ply) {
    const bool withCamera = std::is_same<Point, CameraPoint>::value;
    result = cloud.empty() ? (WriteEmptyPly(path, withCamera) ? 0 : -1) : pcl::io::savePLYFileBinary(path, cloud);
  } else {
    result = pcl::io::savePCDFileBinary(path, cloud);
  }
  if (result != 0) *error = "cannot write " + path;
  return result == 0;
}

template <typename Point>
void Append(const std::vector<float>& xyz, float scale, const int (&colour)[3], int camera,
            pcl::PointCloud<Point>& cloud) {
  for (size_t i = 0; i + 2 < xyz.size(); i += 3) {
    Point p;
    p.x = xyz[i] / scale;
    p.y = xyz[i + 1] / scale;
    p.z = xyz[i + 2] / scale;
    p.r = static_cast<std::uint8_t>(colour[0]);
    p.g = static_cast<std::uint8_t>(colour[1]);
    p.b = static_cast<std::uint8_t>(colour[2]);
    p.a = 255;
    if constexpr (std::is_same<Point, CameraPoint>::value) p.camera = static_cast<std::uint8_t>(camera);
    cloud.push_back(p);
  }
}

}  // namespace

bool ParseFrameRange(const std::string& text, ExportOptions* options, std::string* error) {
  const size_t colon = text.find(':');
  std::int64_t first = 0, last = std::numeric_limits<std::int64_t>::max();
  const std::string a = colon == std::string::npos ? text : text.substr(0, colon);
  const std::string b = colon == std::string::npos ? text : text.substr(colon + 1);
  if ((!a.empty() && !ParseFrame(a, &first)) || (!b.empty() && !ParseFrame(b, &last)) ||
      (a.empty() && b.empty()) || first > last) {
    *error = "--frames takes A:B, A: or :B with frame numbers A <= B: '" + text + "'";
    return false;
  }
  options->firstFrame = first;
  options->lastFrame = last;
  return true;
}

bool ExportTake(const ExportOptions& options, ExportResult* result, std::string* error,
                const std::function<void(size_t, size_t)>& progress) {
  TakeFrames take;
  if (!take.Open(options.dir, error)) return false;
  const TakeReport& report = take.Report();
  float scale = 1.0f;
  if (options.centimetres) {
    scale = report.settings.calibration;
    if (!report.hasParams || !(scale > 0) || !std::isfinite(scale)) {
      *error = "the take has no usable calibration (CAL: in RECPARAM.txt) to give centimetres; "
               "use --units pcl";
      return false;
    }
  }
  std::error_code failed;
  if (!fs::is_directory(options.out, failed)) {
    *error = options.out + ": no such directory";
    return false;
  }
  int colours[kCameraCount][3];
  for (int i = 0; i < kCameraCount; ++i) {
    colours[i][0] = report.cameras[i].r & 0xFF;
    colours[i][1] = report.cameras[i].g & 0xFF;
    colours[i][2] = report.cameras[i].b & 0xFF;
  }
  ReadFault fault;
  const size_t first = take.FindFrame(options.firstFrame, &fault);
  const size_t end = options.lastFrame == std::numeric_limits<std::int64_t>::max()
                         ? take.FrameCount()
                         : take.FindFrame(options.lastFrame + 1, &fault);
  if (fault.any) {
    *error = fault.Text();
    return false;
  }
  ExportManifest manifest = ManifestOf(options, report);
  TakeTimeTable times;
  std::string noTimes;
  if (times.Open(options.dir, &noTimes) && !times.ForEachRow([&](const TimeRow& row) {
        if (row.frame >= options.firstFrame && row.frame <= options.lastFrame)
          manifest.takeTimeMs[row.frame] = row.takeTimeMs;
      }, error))
    return false;
  pcl::console::setVerbosityLevel(pcl::console::L_ERROR);
  const char* extension = options.ply ? "ply" : "pcd";
  TakeFrame frame;
  for (size_t position = first; position < end; ++position) {
    if (!take.Read(position, &frame, &fault)) {
      *error = fault.Text();
      return false;
    }
    ExportManifest::Frame written{frame.number, {}};
    MergedCloud merged;
    for (int slot = 0; slot < kCameraCount; ++slot) {
      if (!frame.has[slot]) continue;
      if (options.merge) {
        Append(frame.xyz[slot], scale, colours[slot], slot + 1, merged);
        continue;
      }
      ColourCloud cloud;
      Append(frame.xyz[slot], scale, colours[slot], slot + 1, cloud);
      char name[64];
      std::snprintf(name, sizeof name, "frame%06lld_cam%d.%s", static_cast<long long>(frame.number),
                    slot + 1, extension);
      if (!Save((fs::path(options.out) / name).string(), cloud, options.ply, error)) return false;
      written.files.push_back(name);
      ++result->files;
    }
    if (options.merge) {
      char name[64];
      std::snprintf(name, sizeof name, "frame%06lld.%s", static_cast<long long>(frame.number), extension);
      if (!Save((fs::path(options.out) / name).string(), merged, options.ply, error)) return false;
      written.files.push_back(name);
      ++result->files;
    }
    ++result->frames;
    manifest.frames.push_back(std::move(written));
    if (progress) progress(position + 1 - first, end - first);
  }
  if (!WriteExportManifest(manifest, (fs::path(options.out) / kExportManifestName).string(), error))
    return false;
  result->stops = take.Stops();
  result->takeFaults = report.faults;
  return true;
}

}  // namespace kestrova
