#include "record/TakeCheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace kestrova {

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return std::string();
  char line[256] = {};
  if (!std::fgets(line, sizeof line, file)) line[0] = '\0';
  std::fclose(file);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.rfind("TIME: ", 0) == 0 ? text.substr(6) : text;
}

void TimeFigures(CameraReport& camera) {
  const auto& lines = camera.lines;
  if (lines.size() < 2) return;
  std::vector<std::int64_t> steps;
  for (size_t i = 1; i < lines.size(); ++i) steps.push_back(lines[i].Stamp() - lines[i - 1].Stamp());
  std::vector<std::int64_t> sorted = steps;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  camera.framePeriodMs = static_cast<double>(sorted[sorted.size() / 2]);
  camera.durationSeconds = (lines.back().Stamp() - lines.front().Stamp()) / 1000.0;
  if (camera.durationSeconds > 0) camera.frameRate = (lines.size() - 1) / camera.durationSeconds;
  if (camera.framePeriodMs <= 0) return;
  for (std::int64_t step : steps) {
    const double periods = step / camera.framePeriodMs;
    if (periods >= 1.5) camera.droppedFrames += static_cast<long long>(std::llround(periods)) - 1;
  }
}

void CheckLines(CameraReport& camera, const std::string& name) {
  for (size_t i = 0; i < camera.lines.size(); ++i) {
    const TimeStampLine& line = camera.lines[i];
    if (i > 0 && line.frame <= camera.lines[i - 1].frame) {
      camera.faults.push_back({true, name, line.offset, static_cast<long long>(i),
                               "frame number " + std::to_string(line.frame) +
                                   " does not rise after " +
                                   std::to_string(camera.lines[i - 1].frame)});
      return;
    }
  }
  if (!camera.lines.empty())
    camera.missingFrames = camera.lines.back().frame + 1 - static_cast<long long>(camera.lines.size());
}

// Reads the records of a point stream: counts and point figures always,
// every coordinate only when `coordinates` is set (else the points are
// skipped, not read). Returns the byte offset of the first record that has
// no time-stamp line (the record after the last line), for CompareCounts.
std::uint64_t ReadRecords(CameraReport& camera, const std::string& path, const std::string& name,
                          bool coordinates) {
  PointStreamReader reader;
  ReadFault fault;
  if (!reader.Open(path, name, &fault)) {
    camera.faults.push_back(fault);
    return 0;
  }
  const long long lines = static_cast<long long>(camera.lines.size());
  std::uint64_t afterLines = 0;
  std::vector<float> xyz;
  double total = 0;
  bool reportedCoordinate = false;
  for (;;) {
    const std::uint64_t start = reader.Offset();
    if (camera.records == lines) afterLines = start;
    std::uint32_t count = 0;
    if (coordinates) {
      if (!reader.Next(&xyz, &fault)) break;
      count = static_cast<std::uint32_t>(xyz.size() / 3);
    } else if (!reader.Skip(&count, &fault)) {
      break;
    }
    camera.pointsMin = camera.records == 0 ? count : std::min<std::uint64_t>(camera.pointsMin, count);
    camera.pointsMax = std::max<std::uint64_t>(camera.pointsMax, count);
    total += count;
    for (size_t i = 0; coordinates && i < xyz.size() && !reportedCoordinate; ++i) {
      if (std::isfinite(xyz[i])) continue;
      reportedCoordinate = true;
      static const char* const kAxis[] = {"x", "y", "z"};
      camera.faults.push_back({true, name, start + 4 + 4 * i, reader.RecordIndex() - 1,
                               std::string("coordinate ") + kAxis[i % 3] + " of point " +
                                   std::to_string(i / 3) + " is not finite"});
    }
    ++camera.records;
  }
  if (fault.any) camera.faults.push_back(fault);
  if (camera.records > 0) camera.pointsMean = total / camera.records;
  return afterLines;
}

void CompareCounts(CameraReport& camera, const std::string& tsName, const std::string& datName,
                   std::uint64_t datOffsetOfExtra) {
  const long long lines = static_cast<long long>(camera.lines.size());
  if (lines == camera.records) return;
  std::string counts = datName + " has " + std::to_string(camera.records) + " whole records, " +
                       tsName + " " + std::to_string(lines) + " lines";
  if (lines > camera.records) {
    camera.faults.push_back({true, tsName, camera.lines[camera.records].offset, camera.records,
                             "no record for this line (" + counts + ")"});
  } else {
    camera.faults.push_back({true, datName, datOffsetOfExtra, lines, "no line for this record (" + counts + ")"});
  }
}

}  // namespace

bool TakeReport::Sound() const { return AllFaults().empty(); }

std::vector<ReadFault> TakeReport::AllFaults() const {
  std::vector<ReadFault> all = faults;
  for (const CameraReport& camera : cameraReports)
    all.insert(all.end(), camera.faults.begin(), camera.faults.end());
  return all;
}

std::vector<int> TakeReport::OlderTakeCameras() const {
  std::vector<int> older;
  for (const CameraReport& camera : cameraReports)
    if (!camera.inTake && (camera.hasPoints || camera.hasTimeStamps)) older.push_back(camera.number);
  return older;
}

TakeReport ExamineTake(const std::string& dir, TakeScan scan) {
  TakeReport report;
  report.dir = dir;
  for (int i = 0; i < kCameraCount; ++i) report.cameras[i] = DefaultCameraSetting(i);
  const std::string params = (fs::path(dir) / "RECPARAM.txt").string();
  std::FILE* paramsFile = std::fopen(params.c_str(), "rb");
  if (paramsFile) {
    report.hasParams = true;
    ReadParams(paramsFile, report.settings, report.cameras);
    report.timeText = FirstLine(params);
  } else {
    report.faults.push_back({true, "RECPARAM.txt", 0, -1, "missing"});
  }

  for (int n = 1; n <= kCameraCount; ++n) {
    CameraReport camera;
    camera.number = n;
    camera.inTake = report.hasParams ? report.settings.cameraEnabled[n - 1] != 0 : true;
    const std::string datName = "PCL" + std::to_string(n) + ".dat";
    const std::string tsName = "TS" + std::to_string(n) + ".txt";
    const std::string datPath = (fs::path(dir) / datName).string();
    const std::string tsPath = (fs::path(dir) / tsName).string();
    std::error_code ignored;
    camera.hasPoints = fs::exists(datPath, ignored);
    camera.hasTimeStamps = fs::exists(tsPath, ignored);
    if (!camera.hasPoints && !camera.hasTimeStamps) {
      // A camera enabled in the take without files had no sensor: nothing to read.
      continue;
    }
    if (!camera.hasTimeStamps) camera.faults.push_back({true, tsName, 0, -1, "missing"});
    if (!camera.hasPoints) camera.faults.push_back({true, datName, 0, -1, "missing"});
    if (camera.hasTimeStamps) {
      ReadFault fault;
      if (!ReadTimeStamps(tsPath, tsName, &camera.lines, &fault)) camera.faults.push_back(fault);
      CheckLines(camera, tsName);
      TimeFigures(camera);
    }
    std::uint64_t afterLines = 0;
    if (camera.hasPoints)
      afterLines = ReadRecords(camera, datPath, datName, scan == TakeScan::Everything);
    if (camera.hasPoints && camera.hasTimeStamps && camera.faults.empty())
      CompareCounts(camera, tsName, datName, afterLines);
    report.cameraReports.push_back(std::move(camera));
  }
  return report;
}

}  // namespace kestrova
