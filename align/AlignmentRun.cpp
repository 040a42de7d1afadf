#include "align/AlignmentRun.h"

#include <algorithm>
#include <cstdio>

namespace kestrova {

AlignmentReport AlignCameras(const OperatorSettings& settings, const CameraSettings& cameras,
                             const AlignmentClouds& clouds, int reference) {
  CameraAlignment alignment;
  alignment.setCalibration(settings.calibration);
  alignment.setReference(reference);
  for (int slot = 0; slot < kCameraCount; ++slot)
    if (clouds.present[slot]) alignment.setInputCloud(slot, clouds.clouds[slot], cameras[slot]);
  return alignment.align();
}

void ApplyAlignment(const AlignmentReport& report, CameraSettings& cameras) {
  for (const CameraAlignmentResult& result : report.cameras)
    if (result.aligned) cameras[result.slot] = result.after;
}

std::vector<std::string> AlignmentTableHeader() {
  return {"camera", "result", "correction", "rms before -> after", "overlap before -> after",
          "x y z (cm), rx ry rz (degrees)"};
}

namespace {

std::string Format(const char* format, double a, double b) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

std::string PoseText(const CameraSetting& p) {
  char text[160];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f, %.2f %.2f %.2f", p.x, p.y, p.z, p.rx, p.ry, p.rz);
  return text;
}

}  // namespace

std::vector<std::vector<std::string>> AlignmentTableRows(const AlignmentReport& report) {
  std::vector<std::vector<std::string>> rows;
  for (const CameraAlignmentResult& r : report.cameras) {
    const char* result = r.reference ? "reference" : r.aligned ? "aligned" : "NOT ALIGNED";
    rows.push_back({std::to_string(r.slot + 1), result,
                    Format("%.1f cm %.1f deg", r.correctionCm, r.correctionDegrees),
                    Format("%.2f -> %.2f cm", r.fitnessBefore.rmsCm, r.fitnessAfter.rmsCm),
                    Format("%.1f%% -> %.1f%%", 100 * r.fitnessBefore.overlapShare,
                           100 * r.fitnessAfter.overlapShare),
                    PoseText(r.aligned ? r.after : r.before)});
  }
  return rows;
}

std::string AlignmentReportText(const AlignmentReport& report) {
  std::vector<std::vector<std::string>> table = AlignmentTableRows(report);
  table.insert(table.begin(), AlignmentTableHeader());
  std::vector<size_t> widths(table.front().size(), 0);
  for (const auto& row : table)
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  std::string text;
  for (const auto& row : table) {
    for (size_t c = 0; c < row.size(); ++c) {
      text += row[c];
      if (c + 1 < row.size()) text += std::string(widths[c] - row[c].size() + 3, ' ');
    }
    text += "\n";
  }
  for (const CameraAlignmentResult& r : report.cameras)
    if (!r.reference && !r.aligned)
      text += "camera " + std::to_string(r.slot + 1) + " not aligned, left as typed: " + r.problem + "\n";
  return text;
}

}  // namespace kestrova
