#include "align/AlignmentRun.h"

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

std::string AlignmentReportText(const AlignmentReport& report) {
  std::string text =
      "camera  result      correction       rms before -> after   overlap before -> after   "
      "x y z (cm), rx ry rz (degrees)\n";
  char line[400];
  for (const CameraAlignmentResult& r : report.cameras) {
    const char* result = r.reference ? "reference" : r.aligned ? "aligned" : "NOT ALIGNED";
    const CameraSetting& p = r.aligned ? r.after : r.before;
    std::snprintf(line, sizeof line,
                  "%-7d %-11s %5.1f cm %5.1f deg  %6.2f -> %6.2f cm      %5.1f%% -> %5.1f%%         "
                  "%.2f %.2f %.2f, %.2f %.2f %.2f\n",
                  r.slot + 1, result, r.correctionCm, r.correctionDegrees, r.fitnessBefore.rmsCm,
                  r.fitnessAfter.rmsCm, 100 * r.fitnessBefore.overlapShare,
                  100 * r.fitnessAfter.overlapShare, p.x, p.y, p.z, p.rx, p.ry, p.rz);
    text += line;
  }
  for (const CameraAlignmentResult& r : report.cameras)
    if (!r.reference && !r.aligned)
      text += "camera " + std::to_string(r.slot + 1) + " not aligned, left as typed: " + r.problem + "\n";
  return text;
}

}  // namespace kestrova
