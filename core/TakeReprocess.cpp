#include "core/TakeReprocess.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "capture/DepthPipeline.h"
#include "record/TakeLayout.h"
#include "settings/ParamsFile.h"
#include "record/DepthFrameFile.h"
#include "record/ExistingTake.h"
#include "record/TakePaths.h"
#include "record/TakeWriter.h"

namespace kestrova {

namespace {

// A settings file is ten short lines; anything much larger is not one.
constexpr std::streamsize kMaxParamsBytes = 64 * 1024;

bool StatDirectory(const std::string& dir, const char* role, struct stat* info, std::string* error) {
  if (::stat(dir.c_str(), info) != 0) {
    *error = std::string("cannot use ") + role + " " + dir + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(info->st_mode)) {
    *error = std::string("cannot use ") + role + " " + dir + ": " + std::strerror(ENOTDIR);
    return false;
  }
  return true;
}

bool ReadParamsText(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream content;
  char buffer[4096];
  std::streamsize total = 0;
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    total += in.gcount();
    if (total > kMaxParamsBytes) {
      *error = path + " is not a settings file (larger than 64 KiB)";
      return false;
    }
    content.write(buffer, in.gcount());
  }
  *text = content.str();
  return true;
}


}  // namespace

bool ReprocessTake(const ReprocessOptions& options, ReprocessResult* result, std::string* error,
                   const ReprocessProgress& progress) {
  struct stat takeInfo, outInfo;
  if (!StatDirectory(options.take, "the take", &takeInfo, error) ||
      !StatDirectory(options.out, "the output directory", &outInfo, error))
    return false;
  if (takeInfo.st_dev == outInfo.st_dev && takeInfo.st_ino == outInfo.st_ino) {
    *error = options.out + " is the take itself; give another directory to write the new take into";
    return false;
  }

  if (!options.replace) {
    const std::string existing = DescribeExistingTake(options.out);
    if (!existing.empty()) {
      *error = options.out + " already holds " + existing + "; give --replace to write over it";
      return false;
    }
  }

  std::string paramsPath = options.paramsFile;
  if (paramsPath.empty() && !ComposeTakePath(options.take, kTakeSettingsFile, &paramsPath, error))
    return false;
  std::string paramsText;
  if (!ReadParamsText(paramsPath, &paramsText, error)) return false;
  // The settings a live take starts from before it reads its settings file.
  OperatorSettings settings;
  CameraSettings cameras;
  for (int slot = 0; slot < kCameraCount; ++slot) cameras[slot] = DefaultCameraSetting(slot);
  ParseParams(paramsText, settings, cameras);

  std::array<bool, kCameraCount> chosen{};
  std::array<std::string, kCameraCount> depthPaths, depthNames;
  bool anyDepth = false;
  std::size_t total = 0;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    depthNames[slot] = CameraFileName(CameraFile::Depth, slot);
    if (!ComposeTakePath(options.take, depthNames[slot], &depthPaths[slot], error)) return false;
    struct stat info;
    if (::stat(depthPaths[slot].c_str(), &info) != 0) continue;
    anyDepth = true;
    // As in a live take, a camera switched off in the settings is not recorded.
    if (settings.cameraEnabled[slot] == 0) continue;
    chosen[slot] = true;
    total += static_cast<std::size_t>(CountDepthFrames(depthPaths[slot], depthNames[slot]));
  }
  if (!anyDepth) {
    *error = options.take + " holds no depth frames (DEPTHn.dat): only a take recorded with "
             "depth frames kept (--keep-depth) can be processed again";
    return false;
  }
  bool anyChosen = false;
  for (bool camera : chosen) anyChosen = anyChosen || camera;
  if (!anyChosen) {
    *error = "no camera with depth frames is enabled in " + paramsPath;
    return false;
  }

  TakeWriter writer;
  auto writeSnapshot = [&paramsText](const std::string& path, std::string* why) {
    return WriteFileAtomically(path, paramsText, why);
  };
  if (!writer.Open(options.out, chosen, writeSnapshot, error)) return false;

  PipelineClouds clouds;
  DepthFrameRecord record;
  std::size_t done = 0;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!chosen[slot]) continue;
    ++result->cameras;
    DepthFrameReader reader;
    ReadFault fault;
    if (!reader.Open(depthPaths[slot], depthNames[slot], &fault)) {
      *error = fault.Text();
      return false;
    }
    if (reader.Header().width != kKeptDepthWidth || reader.Header().height != kKeptDepthHeight) {
      *error = depthNames[slot] + " holds frames of " + std::to_string(reader.Header().width) + "x" +
               std::to_string(reader.Header().height) + " pixels; the pipeline takes 320x240";
      return false;
    }
    while (reader.Next(&record, &fault)) {
      RunDepthPipeline(record.pixels.data(), static_cast<int>(record.pixels.size()), settings,
                       cameras[slot], clouds);
      if (!writer.Append(slot, record.frame, record.stamp, clouds.out)) {
        *error = writer.FailureMessage();
        return false;
      }
      ++result->frames;
      if (progress) progress(++done, total);
    }
    if (fault.any) result->stops.push_back(fault);
  }
  return writer.Close(error);
}

}  // namespace kestrova
