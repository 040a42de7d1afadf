#include "record/TakeWriter.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "record/TakeLayout.h"
#include "settings/CLocale.h"
#include "settings/ParamsFile.h"
#include "record/TakePaths.h"

namespace kestrova {

namespace {

void PutLittleEndian32(std::uint32_t value, char* out) {
  out[0] = static_cast<char>(value & 0xFF);
  out[1] = static_cast<char>((value >> 8) & 0xFF);
  out[2] = static_cast<char>((value >> 16) & 0xFF);
  out[3] = static_cast<char>((value >> 24) & 0xFF);
}

std::uint32_t Bits(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

std::string Reason(const std::string& action, const std::string& path, int errorNumber) {
  return action + " " + path + ": " + std::strerror(errorNumber);
}

struct PendingFile {
  std::string path;
  int fd = -1;
  bool created = false;
};

// Opens for writing without truncating, so a refused take leaves an older
// take in the same directory whole.
bool OpenUntruncated(PendingFile& file, std::string* error) {
  struct stat existing;
  file.created = ::stat(file.path.c_str(), &existing) != 0;
  file.fd = ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (file.fd < 0) {
    *error = Reason("cannot create", file.path, errno);
    return false;
  }
  return true;
}

void Abandon(std::vector<PendingFile>& files) {
  for (PendingFile& file : files) {
    if (file.fd >= 0) ::close(file.fd);
    if (file.fd >= 0 && file.created) ::unlink(file.path.c_str());
    file.fd = -1;
  }
}

}  // namespace

void TakeWriter::RemoveStaleDepthFiles(const std::string& dir,
                                       const std::array<bool, kCameraCount>& cameras) const {
  // Depth frames of an older take would pass for this take's own and be
  // processed again against the wrong clouds.
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (keepDepth_ && cameras[slot]) continue;
    std::string path, ignored;
    if (ComposeTakePath(dir, CameraFileName(CameraFile::Depth, slot), &path, &ignored))
      ::unlink(path.c_str());
  }
}

std::string TimeStampLine(int frameNumber, std::int64_t stamp) {
  // The two halves of the stamp, each printed as a signed 32-bit number.
  const auto high = static_cast<std::int32_t>(stamp >> 32);
  const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(stamp & 0xFFFFFFFFu));
  char line[64];
  std::snprintf(line, sizeof line, "%d %d %d \r\n", frameNumber, high, low);
  return line;
}

void EncodePointRecord(const pcl::PointCloud<pcl::PointXYZ>& cloud, std::vector<char>& out) {
  const size_t start = out.size();
  out.resize(start + 4 + 12 * cloud.size());
  char* cursor = out.data() + start;
  PutLittleEndian32(static_cast<std::uint32_t>(cloud.size()), cursor);
  cursor += 4;
  for (const pcl::PointXYZ& p : cloud.points) {
    PutLittleEndian32(Bits(p.x), cursor);
    PutLittleEndian32(Bits(p.y), cursor + 4);
    PutLittleEndian32(Bits(p.z), cursor + 8);
    cursor += 12;
  }
}

TakeWriter::~TakeWriter() { Close(nullptr); }

bool TakeWriter::Open(const std::string& dir, const std::array<bool, kCameraCount>& cameras,
                      const SnapshotWriter& writeSnapshot, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  Close(nullptr);

  std::string snapshotPath;
  if (!ComposeTakePath(dir, kTakeSettingsFile, &snapshotPath, error)) return false;
  std::vector<PendingFile> pending;
  std::array<int, kCameraCount> firstFile{};
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!cameras[slot]) continue;
    firstFile[slot] = static_cast<int>(pending.size());
    for (CameraFile kind : kCameraFiles) {
      if (kind == CameraFile::Depth && !keepDepth_) continue;
      PendingFile file;
      if (!ComposeTakePath(dir, CameraFileName(kind, slot), &file.path, error)) return false;
      pending.push_back(file);
    }
  }
  struct stat info;
  if (::stat(dir.c_str(), &info) != 0) {
    *error = Reason("cannot use the output directory", dir, errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *error = Reason("cannot use the output directory", dir, ENOTDIR);
    return false;
  }
  for (PendingFile& file : pending) {
    if (!OpenUntruncated(file, error)) {
      Abandon(pending);
      return false;
    }
  }
  if (!writeSnapshot(snapshotPath, error)) {
    Abandon(pending);
    return false;
  }
  RemoveAbandonedTemporaries(snapshotPath);
  RemoveStaleDepthFiles(dir, cameras);
  // From here on the take has started: the older take's files are replaced.
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!cameras[slot]) continue;
    PendingFile& dat = pending[firstFile[slot]];
    PendingFile& ts = pending[firstFile[slot] + 1];
    CameraFiles& files = files_[slot];
    files.datPath = dat.path;
    files.tsPath = ts.path;
    files.datComplete = files.tsComplete = files.depthComplete = 0;
    files.failure.clear();
    if (::ftruncate(dat.fd, 0) != 0 || ::ftruncate(ts.fd, 0) != 0) {
      *error = Reason("cannot empty", dat.path, errno);
      Abandon(pending);
      Close(nullptr);
      return false;
    }
    files.dat = ::fdopen(dat.fd, "wb");
    files.ts = ::fdopen(ts.fd, "wb");
    dat.fd = ts.fd = -1;
    std::setvbuf(files.dat, nullptr, _IOFBF, 1 << 18);
    if (!keepDepth_) continue;
    PendingFile& depth = pending[firstFile[slot] + 2];
    const int depthFd = depth.fd;
    depth.fd = -1;
    if (!StartDepthFile(files, depth.path, depthFd, error)) {
      Abandon(pending);
      Close(nullptr);
      return false;
    }
  }
  return true;
}

bool TakeWriter::StartDepthFile(CameraFiles& files, const std::string& path, int fd,
                                std::string* error) {
  files.depthPath = path;
  if (::ftruncate(fd, 0) != 0 || (files.depth = ::fdopen(fd, "wb")) == nullptr) {
    *error = Reason("cannot empty", path, errno);
    ::close(fd);
    return false;
  }
  std::setvbuf(files.depth, nullptr, _IOFBF, 1 << 17);
  if (!files.encoder) files.encoder = std::make_unique<DepthFrameEncoder>();
  // The header goes out at once: even a take without a frame has a file
  // that says what it is.
  const std::string header = DepthFileHeaderBytes(kKeptDepthWidth, kKeptDepthHeight);
  errno = 0;
  if (std::fwrite(header.data(), 1, header.size(), files.depth) != header.size() ||
      std::fflush(files.depth) != 0) {
    *error = Reason("cannot write", path, errno ? errno : EIO);
    return false;
  }
  files.depthComplete = static_cast<long>(header.size());
  return true;
}

bool TakeWriter::Fail(CameraFiles& files, const std::string& path, int errorNumber) {
  return FailWith(files, Reason("cannot write", path, errorNumber));
}

bool TakeWriter::FailWith(CameraFiles& files, const std::string& reason) {
  // Cut the files back to the last whole cycle, so that every line has its
  // records and each stream ends on a record boundary.
  // The camera writes nothing more: drop what stdio still buffers, so the
  // close cannot append it behind the cut.
  __fpurge(files.dat);
  __fpurge(files.ts);
  (void)!::ftruncate(::fileno(files.dat), files.datComplete);
  (void)!::ftruncate(::fileno(files.ts), files.tsComplete);
  if (files.depth != nullptr) {
    __fpurge(files.depth);
    (void)!::ftruncate(::fileno(files.depth), files.depthComplete);
  }
  files.failure = reason;
  return false;
}

bool TakeWriter::EncodeDepth(CameraFiles& files, int slot, int frameNumber, std::int64_t stamp,
                             const DepthPixels* depth) {
  const std::string camera = "camera " + std::to_string(slot + 1);
  if (depth == nullptr || depth->values == nullptr || depth->width != kKeptDepthWidth ||
      depth->height != kKeptDepthHeight) {
    char reason[128];
    std::snprintf(reason, sizeof reason, "%s delivered a depth frame of %dx%d; %s keeps %dx%d frames",
                  camera.c_str(), depth ? depth->width : 0, depth ? depth->height : 0,
                  files.depthPath.c_str(), kKeptDepthWidth, kKeptDepthHeight);
    return FailWith(files, reason);
  }
  std::string why;
  if (!files.encoder->Encode(frameNumber, stamp, depth->values, depth->width, depth->height,
                             &files.depthRecord, &why))
    return FailWith(files, "cannot compress the depth frame of " + camera + ": " + why);
  return true;
}

bool TakeWriter::Append(int slot, int frameNumber, std::int64_t stamp,
                        const pcl::PointCloud<pcl::PointXYZ>& cloud, const DepthPixels* depth) {
  CameraFiles& files = files_[slot];
  if (files.dat == nullptr || !files.failure.empty()) return false;
  // Everything is encoded before anything is written: a frame that cannot
  // be kept leaves the files at the last whole cycle.
  if (files.depth != nullptr && !EncodeDepth(files, slot, frameNumber, stamp, depth)) return false;
  const std::string line = TimeStampLine(frameNumber, stamp);
  files.record.clear();
  EncodePointRecord(cloud, files.record);

  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), files.ts) != line.size() ||
      std::fflush(files.ts) != 0)
    return Fail(files, files.tsPath, errno ? errno : EIO);
  if (std::fwrite(files.record.data(), 1, files.record.size(), files.dat) != files.record.size() ||
      std::fflush(files.dat) != 0)
    return Fail(files, files.datPath, errno ? errno : EIO);
  if (files.depth != nullptr &&
      (std::fwrite(files.depthRecord.data(), 1, files.depthRecord.size(), files.depth) !=
           files.depthRecord.size() ||
       std::fflush(files.depth) != 0))
    return Fail(files, files.depthPath, errno ? errno : EIO);
  files.tsComplete += static_cast<long>(line.size());
  files.datComplete += static_cast<long>(files.record.size());
  if (files.depth != nullptr) files.depthComplete += static_cast<long>(files.depthRecord.size());
  return true;
}

bool TakeWriter::Failed() const {
  for (const CameraFiles& files : files_)
    if (!files.failure.empty()) return true;
  return false;
}

std::string TakeWriter::FailureMessage() const {
  for (const CameraFiles& files : files_)
    if (!files.failure.empty()) return files.failure;
  return std::string();
}

bool TakeWriter::Close(std::string* error) {
  bool ok = true;
  auto closeOne = [&](std::FILE*& file, const std::string& path) {
    if (file == nullptr) return;
    errno = 0;
    bool flushed = std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
    int reason = errno;
    if (std::fclose(file) != 0 && flushed) {
      flushed = false;
      reason = errno;
    }
    file = nullptr;
    if (!flushed && ok) {
      ok = false;
      if (error) *error = Reason("cannot complete", path, reason ? reason : EIO);
    }
  };
  for (CameraFiles& files : files_) {
    closeOne(files.dat, files.datPath);
    closeOne(files.ts, files.tsPath);
    closeOne(files.depth, files.depthPath);
  }
  return ok;
}

}  // namespace kestrova
