#include "tools/ExportManifest.h"

#include <sstream>

#include "settings/ParamsFile.h"
#include "tools/JsonText.h"

namespace kestrova {

ExportManifest ManifestOf(const ExportOptions& options, const TakeReport& report) {
  ExportManifest manifest;
  manifest.take = options.dir;
  manifest.centimetres = options.centimetres;
  manifest.ply = options.ply;
  manifest.merge = options.merge;
  manifest.calibration = report.settings.calibration;
  manifest.poses = report.cameras;
  for (const CameraReport& camera : report.cameraReports)
    if (camera.inTake) manifest.cameras.push_back(camera.number);
  return manifest;
}

std::string ExportManifestJson(const ExportManifest& m) {
  std::ostringstream out;
  out << "{\n  \"take\": " << JsonString(m.take) << ",\n  \"units\": \"" << (m.centimetres ? "cm" : "pcl")
      << "\",\n  \"calibration\": " << JsonNumber(m.calibration) << ",\n  \"format\": \"" << (m.ply ? "ply" : "pcd")
      << "\",\n  \"merged\": " << (m.merge ? "true" : "false") << ",\n  \"pointFields\": [\"x\", \"y\", \"z\", "
      << (m.ply ? "\"red\", \"green\", \"blue\"" : "\"rgb\"") << (m.merge ? ", \"camera\"" : "") << "],\n";
  out << "  \"cameras\": [";
  for (size_t i = 0; i < m.cameras.size(); ++i) {
    const CameraSetting& p = m.poses[m.cameras[i] - 1];
    out << (i ? ",\n" : "\n") << "    {\"number\": " << m.cameras[i] << ", \"pose\": {\"x\": " << JsonNumber(p.x)
        << ", \"y\": " << JsonNumber(p.y) << ", \"z\": " << JsonNumber(p.z) << ", \"rx\": " << JsonNumber(p.rx)
        << ", \"ry\": " << JsonNumber(p.ry) << ", \"rz\": " << JsonNumber(p.rz) << "}, \"colour\": ["
        << (p.r & 0xFF) << ", " << (p.g & 0xFF) << ", " << (p.b & 0xFF) << "]}";
  }
  out << (m.cameras.empty() ? "" : "\n  ") << "],\n  \"frames\": [";
  for (size_t i = 0; i < m.frames.size(); ++i) {
    const ExportManifest::Frame& frame = m.frames[i];
    const auto time = m.takeTimeMs.find(frame.number);
    out << (i ? ",\n" : "\n") << "    {\"number\": " << frame.number << ", \"takeTimeMs\": "
        << (time == m.takeTimeMs.end() ? std::string("null") : JsonNumber(time->second, "%.3f"))
        << ", \"files\": [";
    for (size_t f = 0; f < frame.files.size(); ++f) out << (f ? ", " : "") << JsonString(frame.files[f]);
    out << "]}";
  }
  out << (m.frames.empty() ? "" : "\n  ") << "]\n}\n";
  return out.str();
}

bool WriteExportManifest(const ExportManifest& manifest, const std::string& path, std::string* error) {
  return WriteFileAtomically(path, ExportManifestJson(manifest), error);
}

}  // namespace kestrova
