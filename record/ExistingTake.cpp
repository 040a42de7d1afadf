#include "record/ExistingTake.h"

#include <sys/stat.h>

#include <cstdio>

#include "record/TakeCheck.h"
#include "record/TakeLayout.h"
#include "record/TakePaths.h"

namespace kestrova {

namespace {

std::string Megabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

bool Exists(const std::string& dir, const std::string& name) {
  std::string path;
  struct stat info;
  return ComposeTakePath(dir, name, &path, nullptr) && ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::vector<std::string> OlderTakeFiles(const std::string& dir, const std::array<bool, kCameraCount>& cameras,
                                        bool keepDepth) {
  std::vector<std::string> older;
  // A take's clock is written afresh from its first cycle (a replay keeps none).
  if (Exists(dir, kTakeClockFile)) older.push_back(kTakeClockFile);
  for (int slot = 0; slot < kCameraCount; ++slot) {
    for (CameraFile kind : kCameraFiles) {
      const bool written = cameras[slot] && (kind != CameraFile::Depth || keepDepth);
      const std::string name = CameraFileName(kind, slot);
      if (!written && Exists(dir, name)) older.push_back(name);
    }
  }
  return older;
}

std::string DescribeExistingTake(const std::string& dir) {
  std::vector<std::string> names = {kTakeSettingsFile, kTakeClockFile};
  for (int n = 1; n <= kCameraCount; ++n) {
    for (CameraFile kind : kCameraFiles) names.push_back(CameraFileName(kind, n - 1));
  }
  std::string files;
  double bytes = 0;
  for (const std::string& name : names) {
    std::string path;
    struct stat info;
    if (!ComposeTakePath(dir, name, &path, nullptr) || ::lstat(path.c_str(), &info) != 0) continue;
    files += (files.empty() ? "" : ", ") + name;
    bytes += static_cast<double>(info.st_size);
  }
  if (files.empty()) return std::string();
  TakeReport report;
  ReadTakeParams(dir, &report);
  const std::string started = report.hasParams ? " started " + report.timeText : std::string();
  return "a take" + started + " (" + files + "; " + Megabytes(bytes) + ")";
}

}  // namespace kestrova
