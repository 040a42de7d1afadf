#include "tools/AlignCommand.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "settings/TimeText.h"

namespace kestrova {

bool LoadAlignSettings(const std::string& path, OperatorSettings* settings, CameraSettings* cameras,
                       std::string* error) {
  *settings = OperatorSettings();
  for (int slot = 0; slot < kCameraCount; ++slot) (*cameras)[slot] = DefaultCameraSetting(slot);
  const std::string chosen = path.empty() ? "KVA_Params.txt" : path;
  std::FILE* file = std::fopen(chosen.c_str(), "rb");
  if (!file) {
    if (path.empty()) return true;  // no settings file: the defaults
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  ReadParams(file, *settings, *cameras);
  return true;
}

void PrintCycles(const char* tool, const AlignmentClouds& clouds) {
  if (clouds.leftOut > 0)
    std::fprintf(stderr,
                 "%s: aligning from %d cycles (%d left out: some camera's frame was missing or not of "
                 "the others' moment)\n",
                 tool, clouds.cycles, clouds.leftOut);
  else
    std::fprintf(stderr, "%s: aligning from %d cycles\n", tool, clouds.cycles);
}

AlignmentReport TimedAlignment(const char* tool, const OperatorSettings& settings,
                               const CameraSettings& cameras, const AlignmentClouds& clouds,
                               int reference) {
  PrintCycles(tool, clouds);
  const auto start = std::chrono::steady_clock::now();
  AlignmentReport report = AlignCameras(settings, cameras, clouds, reference);
  std::fprintf(stderr, "%s: aligned in %.1f s\n", tool,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return report;
}

int WriteAlignment(const char* tool, const OperatorSettings& settings, CameraSettings cameras,
                   const AlignmentReport& report, const std::string& writePath) {
  std::fputs(AlignmentReportText(report).c_str(), stdout);
  std::fflush(stdout);
  ApplyAlignment(report, cameras);
  std::string error;
  if (!WriteFileAtomically(writePath, FormatParams(settings, cameras, CTimeText(std::time(nullptr))),
                           &error)) {
    std::fprintf(stderr, "%s: %s\n", tool, error.c_str());
    return kAlignFailed;
  }
  int status = kAlignAllAligned;
  for (const CameraAlignmentResult& r : report.cameras) {
    if (r.reference || r.aligned) continue;
    std::fprintf(stderr, "%s: camera %d was not aligned: %s\n", tool, r.slot + 1, r.problem.c_str());
    status = kAlignCameraNotAligned;
  }
  return status;
}

bool ParseCameraNumber(const std::string& text, int* slot) {
  if (text.size() != 1 || text[0] < '1' || text[0] > '0' + kCameraCount) return false;
  *slot = text[0] - '1';
  return true;
}

}  // namespace kestrova
