#include "core/TakeReprocess.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "capture/DepthPipeline.h"
#include "record/TakeLayout.h"
#include "settings/ParamsFile.h"
#include "record/DepthFrameFile.h"
#include "record/DepthScan.h"
#include "record/ExistingTake.h"
#include "record/StagedFolder.h"
#include "record/TakeClock.h"
#include "record/TakeLens.h"
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

// The cameras' clock does not depend on the settings: a take's CLOCK.txt
// goes into the new take as it is (a damaged one stops the run).
bool CopyClockFile(const std::string& take, const std::string& out, std::string* error) {
  TakeClock clock;
  ReadFault fault;
  if (!clock.Read(take, &fault)) {
    if (fault.any) *error = fault.Text() + "; nothing was written";
    return !fault.any;  // none: an older take
  }
  std::string from, to;
  if (!ComposeTakePath(take, kTakeClockFile, &from, error) || !ComposeTakePath(out, kTakeClockFile, &to, error))
    return false;
  std::error_code failure;
  if (std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, failure)) return true;
  *error = "cannot copy " + from + " to " + to + ": " + failure.message();
  return false;
}

}  // namespace

bool ReprocessTake(const ReprocessOptions& options, ReprocessResult* result, std::string* error,
                   const ReprocessProgress& progress) {
  struct stat takeInfo, outInfo;
  if (!StatDirectory(options.take, "the take", &takeInfo, error)) return false;
  const bool outExists = ::stat(options.out.c_str(), &outInfo) == 0;
  if (outExists && takeInfo.st_dev == outInfo.st_dev && takeInfo.st_ino == outInfo.st_ino) {
    *error = options.out + " is the take itself; give another directory to write the new take into";
    return false;
  }
  if (outExists && !options.replace) {
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

  // Each camera's frames are of the size and lens the take recorded.
  TakeLens lens;
  ReadFault lensFault;
  if (!ReadTakeLens(options.take, &lens, &lensFault)) {
    *error = lensFault.Text() + "; nothing was processed";
    return false;
  }

  // Every depth file is checked against its lines before anything is
  // written: a fault other than a cut-short tail refuses the run.
  std::array<bool, kCameraCount> chosen{};
  std::array<long long, kCameraCount> frames{};
  std::array<std::string, kCameraCount> depthPaths, depthNames;
  bool anyDepth = false;
  std::size_t total = 0;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    depthNames[slot] = CameraFileName(CameraFile::Depth, slot);
    if (!ComposeTakePath(options.take, depthNames[slot], &depthPaths[slot], error)) return false;
    const DepthPairing pairing = PairDepthFrames(options.take, slot);
    if (!pairing.present) continue;
    anyDepth = true;
    // As in a live take, a camera switched off in the settings is not recorded.
    if (settings.cameraEnabled[slot] == 0) continue;
    if (!pairing.OnlyCutShort()) {
      *error = pairing.faults.front().Text() + "; nothing was processed (kestrova-take verify lists every fault)";
      return false;
    }
    chosen[slot] = true;
    frames[slot] = pairing.frames;
    total += static_cast<std::size_t>(pairing.frames);
    if (!pairing.faults.empty()) result->stops.push_back(pairing.faults.front());
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

  // The new take names this build as its writer and keeps the version that
  // recorded the frames; a damaged VERSION.txt counts as none (unknown).
  TakeVersion original;
  ReadFault versionFault;
  const bool versionFound = ReadTakeVersion(options.take, &original, &versionFault);

  StagedFolder staged;
  if (!staged.Begin(options.out, error)) return false;
  TakeWriter writer;
  writer.SetFrameFormats(lens.formats);
  auto writeSnapshot = [&paramsText](const std::string& path, std::string* why) {
    return WriteFileAtomically(path, paramsText, why);
  };
  writer.SetVersion(ReprocessingVersion(original, versionFound));
  if (!writer.Open(staged.Path(), chosen, writeSnapshot, error)) return false;

  DepthPipeline pipeline;
  Cloud thinned, final;
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
    const DepthFrameFormat& format = lens.formats[slot];
    if (reader.Header().width != format.width || reader.Header().height != format.height) {
      *error = depthNames[slot] + " holds frames of " + SizeText(reader.Header().width, reader.Header().height) +
               " pixels, but " + kTakeLensFile + " gives camera " + std::to_string(slot + 1) + " " +
               SizeText(format.width, format.height) + (lens.present ? "" : " (the take has none)") +
               "; nothing was written";
      return false;
    }
    for (long long n = 0; n < frames[slot]; ++n) {
      if (!reader.Next(&record, &fault)) {  // damaged pixels, found only by decoding them
        *error = (fault.any ? fault.Text() : depthNames[slot] + ": changed while it was read") +
                 "; nothing was written";
        return false;
      }
      pipeline.Run(DepthFrameView{record.pixels.data(), format}, settings, cameras[slot], thinned, final);
      if (!writer.Append(slot, record.frame, record.stamp, final)) {
        *error = writer.FailureMessage();
        return false;
      }
      ++result->frames;
      if (progress) progress(++done, total);
      if (options.stop && options.stop()) {
        result->stopped = true;
        *error = "stopped; nothing was written";
        return false;
      }
    }
  }
  if (!writer.Close(error)) return false;
  if (!CopyClockFile(options.take, staged.Path(), error)) return false;
  // Into a folder that holds a take, the older take goes first: its
  // settings, then every camera file of it.
  std::vector<std::string> older;
  if (staged.TargetExisted()) {
    older = OlderTakeFiles(options.out, {}, false);
    older.insert(older.begin(), kTakeSettingsFile);
  }
  return staged.Commit(older, kTakeSettingsFile, error);
}

}  // namespace kestrova
