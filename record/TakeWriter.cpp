#include "record/TakeWriter.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/CLocale.h"
#include "core/ParamsFile.h"
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

std::string TimeStampLine(int frameNumber, NuiTimeStamp stamp) {
  char line[64];
  std::snprintf(line, sizeof line, "%d %d %d \r\n", frameNumber, stamp.HighPart(),
                static_cast<std::int32_t>(stamp.LowPart()));
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
  if (!ComposeTakePath(dir, "RECPARAM.txt", &snapshotPath, error)) return false;
  std::vector<PendingFile> pending;
  std::array<int, kCameraCount> firstFile{};
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!cameras[slot]) continue;
    firstFile[slot] = static_cast<int>(pending.size());
    for (const char* pattern : {"PCL%d.dat", "TS%d.txt"}) {
      char name[32];
      std::snprintf(name, sizeof name, pattern, slot + 1);
      PendingFile file;
      if (!ComposeTakePath(dir, name, &file.path, error)) return false;
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
  // From here on the take has started: the older take's files are replaced.
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!cameras[slot]) continue;
    PendingFile& dat = pending[firstFile[slot]];
    PendingFile& ts = pending[firstFile[slot] + 1];
    CameraFiles& files = files_[slot];
    files.datPath = dat.path;
    files.tsPath = ts.path;
    files.datComplete = files.tsComplete = 0;
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
  }
  return true;
}

bool TakeWriter::Fail(CameraFiles& files, const std::string& path, int errorNumber) {
  // Cut both files back to the last whole cycle, so that every line has its
  // record and the point stream ends on a record boundary.
  // The camera writes nothing more: drop what stdio still buffers, so the
  // close cannot append it behind the cut.
  __fpurge(files.dat);
  __fpurge(files.ts);
  (void)!::ftruncate(::fileno(files.dat), files.datComplete);
  (void)!::ftruncate(::fileno(files.ts), files.tsComplete);
  files.failure = Reason("cannot write", path, errorNumber);
  return false;
}

bool TakeWriter::Append(int slot, int frameNumber, NuiTimeStamp stamp,
                        const pcl::PointCloud<pcl::PointXYZ>& cloud) {
  CameraFiles& files = files_[slot];
  if (files.dat == nullptr || !files.failure.empty()) return false;
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
  files.tsComplete += static_cast<long>(line.size());
  files.datComplete += static_cast<long>(files.record.size());
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
  }
  return ok;
}

}  // namespace kestrova
