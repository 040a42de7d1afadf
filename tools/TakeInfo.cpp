#include "tools/TakeInfo.h"

#include <cmath>
#include <cstdio>
#include <sstream>

#include "record/TakeLayout.h"
#include "record/TakeTimes.h"
#include "tools/JsonText.h"

namespace kestrova {

namespace {

std::string Number(double value, const char* format = "%g") { return JsonNumber(value, format); }

// "written by kestrova 0.2 (reprocessed from a take recorded by kestrova 0.1)"
std::string VersionLine(const TakeReport& r) {
  if (!r.hasVersion) return "version unknown (no readable VERSION.txt: a take made before takes recorded it)";
  std::string line = "written by kestrova " + r.version.written;
  if (r.version.recorded.empty()) return line;
  if (r.version.recorded == kUnknownVersion)
    return line + " (reprocessed from a take of an unknown version)";
  return line + " (reprocessed from a take recorded by kestrova " + r.version.recorded + ")";
}

}  // namespace

TakeCycles ExamineCycles(const std::string& dir) {
  TakeCycles cycles;
  TakeTimeTable table;
  std::string error;
  if (!table.Open(dir, &error)) return cycles;
  cycles.known = table.ForEachRow([&cycles](const TimeRow&) { ++cycles.cycles; }, &error);
  cycles.clockFile = table.UsesClockFile();
  cycles.largestSpreadMs = table.LargestSpreadMs();
  cycles.missingACamera = table.CyclesMissingACamera();
  return cycles;
}

std::string TakeInfoText(const TakeReport& r, const TakeCycles& cycles) {
  std::ostringstream out;
  bool lensDamaged = false;
  for (const ReadFault& fault : r.faults) lensDamaged = lensDamaged || fault.file == kTakeLensFile;
  const char* const lensNote = r.lens.present ? ""
                               : lensDamaged ? " (LENS.txt unreadable: the default frame)"
                                             : " (no LENS.txt: the default frame)";
  const OperatorSettings& s = r.settings;
  out << "take in " << r.dir << "\n";
  out << "  " << VersionLine(r) << "\n";
  if (r.hasParams) {
    out << "  started " << r.timeText << "; calibration " << Number(s.calibration)
        << " PCL units per cm; resolution " << Number(s.resolution) << " points per m\n";
    out << "  region of interest x " << Number(s.xMin) << " to " << Number(s.xMax) << ", y "
        << Number(s.yMin) << " to " << Number(s.yMax) << ", z " << Number(s.zMin) << " to "
        << Number(s.zMax) << " cm\n";
  } else {
    out << (r.paramsPresent ? "  RECPARAM.txt unreadable: settings unknown\n" : "  no RECPARAM.txt: settings unknown\n");
  }
  for (const CameraReport& c : r.cameraReports) {
    if (!c.inTake) continue;
    const CameraSetting& pose = r.cameras[c.number - 1];
    out << "camera " << c.number << ": " << c.records << " frames";
    if (c.lineCount > 0) {
      out << ", " << Number(c.durationSeconds, "%.2f") << " s, " << Number(c.frameRate, "%.2f")
          << " frames/s, dropped " << c.droppedFrames << ", missing " << c.missingFrames;
    }
    out << "\n  points per frame min " << c.pointsMin << " mean " << Number(c.pointsMean, "%.1f")
        << " max " << c.pointsMax << "\n";
    const DepthLens& lens = c.format.lens;
    out << "  frames " << SizeText(c.format.width, c.format.height) << ", lens fx " << Number(lens.fx, "%.4f")
        << " fy " << Number(lens.fy, "%.4f") << " cx " << Number(lens.cx) << " cy " << Number(lens.cy)
        << " pixels" << lensNote << "\n";
    if (c.hasDepth)
      out << "  depth frames " << c.depthFrames << " in DEPTH" << c.number << ".dat, "
          << c.depthBytes << " bytes, " << Number(c.depthRatio, "%.2f") << " times smaller than raw\n";
    if (r.hasParams) {
      out << "  pose x " << Number(pose.x) << " y " << Number(pose.y) << " z " << Number(pose.z)
          << " cm, rx " << Number(pose.rx) << " ry " << Number(pose.ry) << " rz " << Number(pose.rz)
          << " degrees; colour " << (pose.r & 0xFF) << " " << (pose.g & 0xFF) << " "
          << (pose.b & 0xFF) << "; max depth " << Number(pose.maxDepth) << " %\n";
    }
  }
  if (cycles.known) {
    out << "cycles: " << cycles.cycles << "; one cycle's frames lie within "
        << Number(cycles.largestSpreadMs, "%.1f") << " ms of each other "
        << (cycles.clockFile ? "on the recorder's clock (CLOCK.txt)" : "(each camera's stamps placed by their median gap)")
        << "; " << cycles.missingACamera << " lack a camera's frame\n";
  }
  for (int camera : r.OlderTakeCameras())
    out << "older take: PCL" << camera << ".dat / TS" << camera
        << ".txt are not part of this take (camera " << camera << " is not enabled in RECPARAM.txt)\n";
  const std::vector<ReadFault> faults = r.AllFaults();
  if (faults.empty()) out << "sound: no faults\n";
  for (const ReadFault& fault : faults) out << "fault: " << fault.Text() << "\n";
  return out.str();
}

std::string TakeInfoJson(const TakeReport& r, const TakeCycles& cycles) {
  std::ostringstream out;
  const OperatorSettings& s = r.settings;
  out << "{\n  \"dir\": " << JsonString(r.dir) << ",\n";
  out << "  \"version\": ";
  if (r.hasVersion)
    out << "{\"written\": " << JsonString(r.version.written) << ", \"recorded\": "
        << (r.version.recorded.empty() ? std::string("null") : JsonString(r.version.recorded)) << "},\n";
  else
    out << "null,\n";
  out << "  \"params\": " << (r.hasParams ? "true" : "false") << ",\n";
  if (r.hasParams) {
    out << "  \"time\": " << JsonString(r.timeText) << ",\n";
    out << "  \"calibration\": " << Number(s.calibration) << ",\n";
    out << "  \"resolution\": " << Number(s.resolution) << ",\n";
    out << "  \"roi\": {\"xMin\": " << Number(s.xMin) << ", \"xMax\": " << Number(s.xMax)
        << ", \"yMin\": " << Number(s.yMin) << ", \"yMax\": " << Number(s.yMax)
        << ", \"zMin\": " << Number(s.zMin) << ", \"zMax\": " << Number(s.zMax) << "},\n";
  }
  out << "  \"cameras\": [";
  bool first = true;
  for (const CameraReport& c : r.cameraReports) {
    if (!c.inTake) continue;
    const CameraSetting& p = r.cameras[c.number - 1];
    out << (first ? "\n" : ",\n") << "    {\"number\": " << c.number << ", \"frames\": " << c.records
        << ", \"lines\": " << c.lineCount << ", \"durationSeconds\": " << Number(c.durationSeconds)
        << ", \"frameRate\": " << Number(c.frameRate) << ", \"droppedFrames\": " << c.droppedFrames
        << ", \"missingFrames\": " << c.missingFrames << ",\n     \"points\": {\"min\": "
        << c.pointsMin << ", \"mean\": " << Number(c.pointsMean) << ", \"max\": " << c.pointsMax
        << "},\n     \"depthFrames\": " << (c.hasDepth ? std::to_string(c.depthFrames) : "null")
        << ", \"depthBytes\": " << (c.hasDepth ? std::to_string(c.depthBytes) : "null")
        << ", \"depthRatio\": " << (c.hasDepth ? Number(c.depthRatio) : "null")
        << ",\n     \"width\": " << c.format.width << ", \"height\": " << c.format.height
        << ", \"lens\": {\"fx\": " << ExactNumberText(c.format.lens.fx) << ", \"fy\": "
        << ExactNumberText(c.format.lens.fy) << ", \"cx\": " << ExactNumberText(c.format.lens.cx)
        << ", \"cy\": " << ExactNumberText(c.format.lens.cy) << "}, \"lensFile\": " << (r.lens.present ? "true" : "false")
        << ",\n     \"pose\": {\"x\": " << Number(p.x) << ", \"y\": " << Number(p.y)
        << ", \"z\": " << Number(p.z) << ", \"rx\": " << Number(p.rx) << ", \"ry\": " << Number(p.ry)
        << ", \"rz\": " << Number(p.rz) << "}, \"colour\": [" << (p.r & 0xFF) << ", "
        << (p.g & 0xFF) << ", " << (p.b & 0xFF) << "], \"maxDepth\": " << Number(p.maxDepth) << "}";
    first = false;
  }
  out << (first ? "" : "\n  ") << "],\n";
  if (cycles.known) {
    out << "  \"cycles\": {\"count\": " << cycles.cycles << ", \"largestSpreadMs\": "
        << Number(cycles.largestSpreadMs) << ", \"clock\": " << JsonString(cycles.clockFile ? "CLOCK.txt" : "median")
        << ", \"missingACamera\": " << cycles.missingACamera << "},\n";
  }
  out << "  \"olderTakeCameras\": [";
  first = true;
  for (int camera : r.OlderTakeCameras()) {
    out << (first ? "" : ", ") << camera;
    first = false;
  }
  out << "],\n  \"faults\": [";
  first = true;
  for (const ReadFault& fault : r.AllFaults()) {
    out << (first ? "" : ", ") << JsonString(fault.Text());
    first = false;
  }
  out << "],\n  \"sound\": " << (r.Sound() ? "true" : "false") << "\n}\n";
  return out.str();
}

}  // namespace kestrova
