// export.json, written beside every export: what the files hold, so a
// script needs nothing else. Its keys:
//   take          the take's directory, as given
//   units         "cm" or "pcl"
//   calibration   the take's PCL units per cm
//   format        "pcd" or "ply"; merged: true when a file holds every camera
//   pointFields   the fields of each point (merged files add "camera", 1..4)
//   cameras       per camera of the take: number, pose {x, y, z (cm), rx, ry,
//                 rz (degrees)}, colour [r, g, b]
//   frames        per exported frame: number, takeTimeMs (ms since the take's
//                 first cycle on one clock, as `kestrova-take times` gives it;
//                 null when unknown), files
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "record/TakeCheck.h"
#include "tools/TakeExport.h"

namespace kestrova {

constexpr char kExportManifestName[] = "export.json";

struct ExportManifest {
  std::string take;
  bool centimetres = true;
  bool ply = false;
  bool merge = false;
  double calibration = 0;
  std::vector<int> cameras;  // numbers 1..4
  CameraSettings poses;
  struct Frame {
    std::int64_t number = 0;
    std::vector<std::string> files;  // as written
  };
  std::vector<Frame> frames;
  std::map<std::int64_t, double> takeTimeMs;
};

ExportManifest ManifestOf(const ExportOptions& options, const TakeReport& report);

// The JSON text of a manifest.
std::string ExportManifestJson(const ExportManifest& manifest);

bool WriteExportManifest(const ExportManifest& manifest, const std::string& path, std::string* error);

}  // namespace kestrova
