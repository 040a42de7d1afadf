#include "tools/DepthExport.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "capture/DepthPgm.h"
#include "capture/DepthPng.h"
#include "record/DepthFrameFile.h"
#include "record/TakeLayout.h"
#include "settings/Settings.h"
#include "record/TakePaths.h"

namespace kestrova {

namespace {

bool MakeFolder(const std::string& path, std::string* error) {
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
  *error = "cannot create " + path + ": " + std::strerror(errno);
  return false;
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
  std::string paths[kCameraCount], names[kCameraCount];
  size_t total = 0;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    names[slot] = CameraFileName(CameraFile::Depth, slot);
    if (!ComposeTakePath(options.take, names[slot], &paths[slot], error)) return false;
    if (::stat(paths[slot].c_str(), &info) != 0) {
      paths[slot].clear();
      continue;
    }
    total += static_cast<size_t>(CountDepthFrames(paths[slot], names[slot]));
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
    const std::string folder = options.out + "/cam" + std::to_string(slot + 1);
    if (!MakeFolder(folder, error)) return false;
    const int width = reader.Header().width, height = reader.Header().height;
    while (reader.Next(&record, &fault)) {
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
    if (fault.any) result->stops.push_back(fault);
  }
  if (result->cameras == 0) {
    *error = options.take + " holds no depth frames (DEPTHn.dat): only a take recorded with "
             "depth frames kept (--keep-depth) has them";
    return false;
  }
  return true;
}

}  // namespace kestrova
