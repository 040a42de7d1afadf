#include "record/TakeCheck.h"

#include "record/TakeClock.h"

#include "record/DepthScan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "record/TakeLayout.h"
#include "settings/CLocale.h"

namespace kestrova {

namespace fs = std::filesystem;

namespace {

constexpr int kParamsLines = 10;
constexpr size_t kParamsLineLimit = 1023;
// Steps of the first time stamps that fix a camera's usual frame period.
constexpr size_t kPeriodSample = 4096;

// The numbers each line of the settings layout holds after its label.
constexpr int kParamsNumbers[kParamsLines] = {-1, -1, 1, 4, 6, 1, 10, 10, 10, 10};

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  return out;
}

// The count of numbers after the first word, or -1 when anything else follows it.
int NumbersAfterLabel(const std::string& line) {
  ScopedCLocale cLocale;
  const char* at = line.c_str();
  while (*at == ' ' || *at == '\t') ++at;
  if (*at == '\0' || *at == '\r') return -1;
  while (*at != '\0' && *at != ' ' && *at != '\t' && *at != '\r') ++at;
  int count = 0;
  for (;;) {
    while (*at == ' ' || *at == '\t' || *at == '\r') ++at;
    if (*at == '\0') return count;
    char* end = nullptr;
    std::strtod(at, &end);
    if (end == at) return -1;
    at = end;
    ++count;
  }
}

// The first ten lines, each cut at the reader's limit, with their offsets.
std::vector<std::pair<std::string, std::uint64_t>> ParamsLines(FileBytes& bytes) {
  std::vector<std::pair<std::string, std::uint64_t>> lines;
  std::string line;
  std::uint64_t start = 0;
  int c;
  while (static_cast<int>(lines.size()) < kParamsLines && (c = bytes.Get()) >= 0) {
    if (c == '\n') {
      lines.emplace_back(line, start);
      line.clear();
      start = bytes.Offset();
    } else if (line.size() < kParamsLineLimit) {
      line.push_back(static_cast<char>(c));
    }
  }
  if (!line.empty() && static_cast<int>(lines.size()) < kParamsLines) lines.emplace_back(line, start);
  return lines;
}

}  // namespace

void ReadTakeParams(const std::string& dir, TakeReport* report) {
  for (int i = 0; i < kCameraCount; ++i) report->cameras[i] = DefaultCameraSetting(i);
  const std::string path = (fs::path(dir) / kTakeSettingsFile).string();
  std::error_code ignored;
  report->paramsPresent = fs::exists(fs::symlink_status(path, ignored));
  if (!report->paramsPresent) {
    report->faults.push_back({true, kTakeSettingsFile, 0, -1, "missing"});
    return;
  }
  FileBytes bytes;
  ReadFault fault;
  if (!bytes.Open(path, kTakeSettingsFile, &fault)) {
    report->faults.push_back(fault);
    return;
  }
  const auto lines = ParamsLines(bytes);
  if (lines.empty()) {
    report->faults.push_back({true, kTakeSettingsFile, 0, -1, "empty: the take's settings are unknown"});
    return;
  }
  for (int i = 2; i < kParamsLines; ++i) {
    const bool present = i < static_cast<int>(lines.size());
    if (present && NumbersAfterLabel(lines[i].first) == kParamsNumbers[i]) continue;
    report->faults.push_back({true, kTakeSettingsFile, present ? lines[i].second : bytes.Offset(), -1,
                              "line " + std::to_string(i + 1) + " is not a label and " +
                                  std::to_string(kParamsNumbers[i]) +
                                  (kParamsNumbers[i] == 1 ? " number" : " numbers") +
                                  ": the take's settings are unknown"});
    return;
  }
  std::string text;
  for (const auto& line : lines) text += line.first + "\n";
  ParseParams(text, report->settings, report->cameras);
  report->hasParams = true;
  std::string time = lines[0].first;
  if (!time.empty() && time.back() == '\r') time.pop_back();
  if (time.rfind("TIME: ", 0) == 0) time = time.substr(6);
  report->timeText = Printable(time.substr(0, 64));
}

std::vector<CameraReport> FindCameras(const std::string& dir, const TakeReport& report) {
  std::vector<CameraReport> cameras;
  for (int n = 1; n <= kCameraCount; ++n) {
    CameraReport camera;
    camera.number = n;
    camera.inTake = report.hasParams ? report.settings.cameraEnabled[n - 1] != 0 : true;
    std::error_code ignored;
    camera.hasPoints = fs::exists(fs::symlink_status(fs::path(dir) / CameraFileName(CameraFile::Points, n - 1), ignored));
    camera.hasTimeStamps = fs::exists(fs::symlink_status(fs::path(dir) / CameraFileName(CameraFile::TimeStamps, n - 1), ignored));
    // A camera enabled in the take without files had no sensor: nothing to read.
    if (camera.hasPoints || camera.hasTimeStamps) cameras.push_back(camera);
  }
  return cameras;
}

void CheckTakeHasFiles(TakeReport* report) {
  if (!report->hasParams) return;
  std::string enabled;
  for (int n = 1; n <= kCameraCount; ++n)
    if (report->settings.cameraEnabled[n - 1] != 0) enabled += (enabled.empty() ? "" : ", ") + std::to_string(n);
  for (const CameraReport& camera : report->cameraReports)
    if (camera.inTake) return;
  if (enabled.empty()) return;  // a take of no camera holds nothing but its settings
  report->faults.push_back({true, kTakeSettingsFile, 0, -1,
                            "enables camera " + enabled +
                                ", but no camera of the take has files: nothing was recorded"});
}

void CameraScan::StampFigures::Add(std::int64_t stamp) {
  if (count_ == 0) {
    first_ = stamp;
  } else if (fixed_) {
    Count(stamp - last_);
  } else {
    sample_.push_back(stamp - last_);
    if (sample_.size() == kPeriodSample) Fix();
  }
  last_ = stamp;
  ++count_;
}

// The usual period is the median step of the first time stamps; later steps
// are counted against it as they come.
void CameraScan::StampFigures::Fix() {
  fixed_ = true;
  if (sample_.empty()) return;
  std::vector<std::int64_t> sorted = sample_;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  periodMs_ = static_cast<double>(sorted[sorted.size() / 2]);
  for (std::int64_t step : sample_) Count(step);
  sample_.clear();
  sample_.shrink_to_fit();
}

void CameraScan::StampFigures::Count(std::int64_t step) {
  if (periodMs_ <= 0) return;
  const double periods = step / periodMs_;
  if (periods >= 1.5) dropped_ += static_cast<long long>(std::llround(periods)) - 1;
}

void CameraScan::StampFigures::Finish(CameraReport* report) {
  if (count_ < 2) return;
  if (!fixed_) Fix();
  report->framePeriodMs = periodMs_;
  report->durationSeconds = (last_ - first_) / 1000.0;
  if (report->durationSeconds > 0) report->frameRate = (count_ - 1) / report->durationSeconds;
  report->droppedFrames = dropped_;
}

void CameraScan::Open(const std::string& dir, CameraReport* report) {
  report_ = report;
  tsName_ = CameraFileName(CameraFile::TimeStamps, report->number - 1);
  datName_ = CameraFileName(CameraFile::Points, report->number - 1);
  ReadFault fault;
  if (!report->hasTimeStamps) {
    report->faults.push_back({true, tsName_, 0, -1, "missing"});
  } else if (!(linesOpen_ = lines_.Open((fs::path(dir) / tsName_).string(), tsName_, &fault))) {
    report->faults.push_back(fault);
  }
  if (!report->hasPoints) {
    report->faults.push_back({true, datName_, 0, -1, "missing"});
  } else if (!(recordsOpen_ = records_.Open((fs::path(dir) / datName_).string(), datName_, &fault))) {
    report->faults.push_back(fault);
  }
}

void CameraScan::CountRecord(std::uint32_t count) {
  report_->pointsMin = report_->records == 0 ? count : std::min<std::uint64_t>(report_->pointsMin, count);
  report_->pointsMax = std::max<std::uint64_t>(report_->pointsMax, count);
  pointsTotal_ += count;
  ++report_->records;
}

void CameraScan::CheckCoordinates(const std::vector<float>& xyz, std::uint64_t start, long long index) {
  for (size_t i = 0; i < xyz.size() && !reportedCoordinate_; ++i) {
    if (std::isfinite(xyz[i])) continue;
    reportedCoordinate_ = true;
    static const char* const kAxis[] = {"x", "y", "z"};
    report_->faults.push_back({true, datName_, start + 4 + 4 * i, index,
                               std::string("coordinate ") + kAxis[i % 3] + " of point " +
                                   std::to_string(i / 3) + " is not finite"});
  }
}

CameraScan::Step CameraScan::Next(std::vector<float>* xyz, Pair* pair) {
  ReadFault fault;
  bool gotLine = false, gotRecord = false;
  if (linesOpen_) {
    gotLine = lines_.Next(&pair->line, &fault);
    if (gotLine) {
      ++report_->lineCount;
      lastFrame_ = pair->line.frame;
      figures_.Add(pair->line.Stamp());
    } else {
      linesOpen_ = false;
      if (fault.any) report_->faults.push_back(fault);
    }
  }
  if (recordsOpen_) {
    pair->recordOffset = records_.Offset();
    pair->recordIndex = records_.RecordIndex();
    std::uint32_t count = 0;
    fault = ReadFault();
    if (xyz) {
      gotRecord = records_.Next(xyz, &fault);
      count = static_cast<std::uint32_t>(xyz->size() / 3);
    } else {
      gotRecord = records_.Skip(&count, &fault);
    }
    if (gotRecord) {
      CountRecord(count);
      if (xyz) CheckCoordinates(*xyz, pair->recordOffset, pair->recordIndex);
    } else {
      recordsOpen_ = false;
      if (fault.any) report_->faults.push_back(fault);
    }
  }
  if (gotLine && gotRecord) return Step::Pair;
  if (gotLine && !unpairedLine_) unpairedLine_ = true, firstUnpairedLine_ = pair->line.offset;
  if (gotRecord && !unpairedRecord_) unpairedRecord_ = true, firstUnpairedRecord_ = pair->recordOffset;
  return gotLine || gotRecord ? Step::Unpaired : Step::End;
}

void CameraScan::Finish() {
  CameraReport& camera = *report_;
  if (camera.records > 0) camera.pointsMean = pointsTotal_ / camera.records;
  if (camera.lineCount > 0) camera.missingFrames = lastFrame_ + 1 - camera.lineCount;
  figures_.Finish(report_);
  if (!camera.faults.empty() || camera.lineCount == camera.records) return;
  const std::string counts = datName_ + " has " + std::to_string(camera.records) + " whole records, " +
                             tsName_ + " " + std::to_string(camera.lineCount) + " lines";
  if (camera.lineCount > camera.records) {
    camera.faults.push_back({true, tsName_, firstUnpairedLine_, camera.records,
                             "no record for this line (" + counts + ")"});
  } else {
    camera.faults.push_back({true, datName_, firstUnpairedRecord_, camera.lineCount,
                             "no line for this record (" + counts + ")"});
  }
}

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
  ReadTakeParams(dir, &report);
  // The cameras' frame sizes and lenses; a take from before them has the default.
  ReadFault lensFault;
  if (!ReadTakeLens(dir, &report.lens, &lensFault)) {
    report.faults.push_back(lensFault);
    report.lens = TakeLens();  // what it says cannot be trusted: no camera is checked against it
  }
  report.cameraReports = FindCameras(dir, report);
  std::vector<float> xyz;
  for (CameraReport& camera : report.cameraReports) {
    camera.format = report.lens.formats[camera.number - 1];
    if (report.lens.present && camera.inTake && !report.lens.listed[camera.number - 1])
      camera.faults.push_back({true, kTakeLensFile, 0, -1,
                               "no line for camera " + std::to_string(camera.number) + ", which has files"});
    CameraScan reader;
    reader.Open(dir, &camera);
    DepthScan depth;
    depth.Open(dir, &camera, scan == TakeScan::Everything);
    CameraScan::Pair pair;
    CameraScan::Step step;
    while ((step = reader.Next(scan == TakeScan::Everything ? &xyz : nullptr, &pair)) !=
           CameraScan::Step::End) {
      if (step == CameraScan::Step::Pair) depth.Pair(pair.line);
    }
    reader.Finish();
    depth.Finish();
  }
  CheckTakeHasFiles(&report);
  // The clock file is optional; a damaged one is a fault of the take.
  TakeClock clock;
  ReadFault clockFault;
  if (!clock.Read(dir, &clockFault) && clockFault.any) report.faults.push_back(clockFault);
  // So is the version file.
  ReadFault versionFault;
  report.hasVersion = ReadTakeVersion(dir, &report.version, &versionFault);
  if (versionFault.any) report.faults.push_back(versionFault);
  return report;
}

}  // namespace kestrova
