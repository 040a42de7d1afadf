#include "tools/DepthExport.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "capture/DepthIntrinsics.h"
#include "capture/DepthPgm.h"
#include "capture/DepthPng.h"
#include "record/DepthFrameFile.h"
#include "record/DepthScan.h"
#include "record/TakeLayout.h"
#include "record/TakeLens.h"
#include "record/TakePaths.h"
#include "settings/ParamsFile.h"
#include "settings/Settings.h"

namespace kestrova {

namespace {

bool MakeFolder(const std::string& path, std::string* error) {
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
  *error = "cannot create " + path + ": " + std::strerror(errno);
  return false;
}

// Both forms of the camera's intrinsics into its folder.
bool WriteIntrinsics(const std::string& folder, const DepthFrameFormat& format, std::string* error) {
  const DepthIntrinsics intrinsics{format.width, format.height, format.lens, kImageDepthScale};
  return WriteFileAtomically(folder + "/" + kIntrinsicsTextFile, FormatIntrinsicsText(intrinsics), error) &&
         WriteFileAtomically(folder + "/" + kIntrinsicsJsonFile, FormatIntrinsicsJson(intrinsics), error);
}

}  // namespace

bool ExportDepthFrames(const DepthExportOptions& options, DepthExportResult* result,
                       std::string* error, const std::function<void(size_t, size_t)>& progress) {
  struct stat info;
  if (::stat(options.out.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *error = "cannot use the output directory " + options.out + ": " +
             std::strerror(errno ? errno : ENOTDIR);
    return false;
  }
  // The cameras' frame sizes and lenses, which go beside their images.
  TakeLens lens;
  ReadFault lensFault;
  if (!ReadTakeLens(options.take, &lens, &lensFault)) {
    *error = lensFault.Text() + "; nothing was exported";
    return false;
  }
  // Every depth file is checked against its lines first: a fault other than
  // a cut-short tail refuses the export, and the frames are counted by the
  // lines, not by the file.
  std::string paths[kCameraCount], names[kCameraCount];
  long long frames[kCameraCount] = {};
  size_t total = 0;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    names[slot] = CameraFileName(CameraFile::Depth, slot);
    if (!ComposeTakePath(options.take, names[slot], &paths[slot], error)) return false;
    const DepthPairing pairing = PairDepthFrames(options.take, slot);
    if (!pairing.present) {
      paths[slot].clear();
      continue;
    }
    if (!pairing.OnlyCutShort()) {
      *error = pairing.faults.front().Text() + "; nothing was exported (kestrova-take verify lists every fault)";
      return false;
    }
    frames[slot] = pairing.frames;
    total += static_cast<size_t>(pairing.frames);
    if (!pairing.faults.empty()) result->stops.push_back(pairing.faults.front());
  }
  size_t done = 0;
  DepthFrameRecord record;
  std::vector<std::uint16_t> millimetres;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (paths[slot].empty()) continue;
    DepthFrameReader reader;
    ReadFault fault;
    if (!reader.Open(paths[slot], names[slot], &fault)) {
      *error = fault.Text();
      return false;
    }
    ++result->cameras;
    const DepthFrameFormat& format = lens.formats[slot];
    const int width = reader.Header().width, height = reader.Header().height;
    if (width != format.width || height != format.height) {
      *error = names[slot] + " holds frames of " + SizeText(width, height) + ", but " + kTakeLensFile +
               " gives camera " + std::to_string(slot + 1) + " " + SizeText(format.width, format.height);
      return false;
    }
    const std::string folder = options.out + "/cam" + std::to_string(slot + 1);
    if (!MakeFolder(folder, error) || !WriteIntrinsics(folder, format, error)) return false;
    for (long long n = 0; n < frames[slot]; ++n) {
      if (!reader.Next(&record, &fault)) {  // damaged pixels, found only by decoding them
        *error = fault.any ? fault.Text() : names[slot] + ": changed while it was read";
        return false;
      }
      millimetres.resize(record.pixels.size());
      for (size_t k = 0; k < record.pixels.size(); ++k)
        millimetres[k] = static_cast<std::uint16_t>(record.pixels[k] >> 3);
      char name[32];
      std::snprintf(name, sizeof name, "/frame%06d.%s", static_cast<int>(record.frame),
                    options.png ? "png" : "pgm");
      const std::string path = folder + name;
      if (!(options.png ? WriteDepthPng(path, millimetres, width, height, error)
                        : WriteDepthPgm(path, millimetres, width, height, error)))
        return false;
      ++result->files;
      if (progress) progress(++done, total);
    }
  }
  if (result->cameras == 0) {
    *error = options.take + " holds no depth frames (DEPTHn.dat): only a take recorded with "
             "depth frames kept (--keep-depth) has them";
    return false;
  }
  return true;
}

}  // namespace kestrova
