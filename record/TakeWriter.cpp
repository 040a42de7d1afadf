#include "record/TakeWriter.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "record/ExistingTake.h"
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

// Writes the whole `text` into the open `fd` (emptied first), syncs and
// closes it.
bool WriteWhole(int fd, const std::string& path, const std::string& text, std::string* error) {
  bool ok = ::ftruncate(fd, 0) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    ok = written > 0;
    if (ok) done += static_cast<std::size_t>(written);
  }
  ok = ok && ::fsync(fd) == 0;
  const int reason = errno ? errno : EIO;
  ::close(fd);
  if (!ok) *error = Reason("cannot write", path, reason);
  return ok;
}

void Abandon(std::vector<PendingFile>& files) {
  for (PendingFile& file : files) {
    if (file.fd >= 0) ::close(file.fd);
    if (file.fd >= 0 && file.created) ::unlink(file.path.c_str());
    file.fd = -1;
  }
}

}  // namespace

void TakeWriter::RemoveOlderTakeFiles(const std::string& dir,
                                      const std::array<bool, kCameraCount>& cameras) const {
  // Files of an older take that this one does not write would pass for its
  // own: depth frames processed again against the wrong clouds, point
  // streams of cameras this take did not record.
  for (const std::string& name : OlderTakeFiles(dir, cameras, keepDepth_)) {
    std::string path, ignored;
    if (ComposeTakePath(dir, name, &path, &ignored)) ::unlink(path.c_str());
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

namespace {

// The order in which a cycle's bytes go out: the time-stamp line first.
constexpr std::array<CameraFile, 3> kWriteOrder = {CameraFile::TimeStamps, CameraFile::Points,
                                                   CameraFile::Depth};

size_t BufferBytes(CameraFile file) {
  switch (file) {
    case CameraFile::Points: return 1 << 18;
    case CameraFile::Depth: return 1 << 17;
    case CameraFile::TimeStamps: break;
  }
  return 0;  // stdio's own
}

}  // namespace

bool TakeWriter::Wanted(CameraFile file) const { return file != CameraFile::Depth || keepDepth_; }

bool TakeWriter::Open(const std::string& dir, const std::array<bool, kCameraCount>& cameras,
                      const SnapshotWriter& writeSnapshot, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  Close(nullptr);

  std::string snapshotPath, versionPath;
  if (!ComposeTakePath(dir, kTakeSettingsFile, &snapshotPath, error) ||
      !ComposeTakePath(dir, kTakeVersionFile, &versionPath, error))
    return false;
  std::vector<PendingFile> pending;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!cameras[slot]) continue;
    for (CameraFile kind : kCameraFiles) {
      if (!Wanted(kind)) continue;
      PendingFile file;
      if (!ComposeTakePath(dir, CameraFileName(kind, slot), &file.path, error)) return false;
      pending.push_back(file);
    }
  }
  // The cameras' frames and lenses, last among the pending files.
  const bool anyCamera = !pending.empty();
  if (anyCamera) {
    PendingFile lens;
    if (!ComposeTakePath(dir, kTakeLensFile, &lens.path, error)) return false;
    pending.push_back(lens);
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
  if (!writeSnapshot(snapshotPath, error) || !WriteTakeVersion(dir, version_, error)) {
    Abandon(pending);
    return false;
  }
  RemoveAbandonedTemporaries(snapshotPath);
  RemoveAbandonedTemporaries(versionPath);
  RemoveOlderTakeFiles(dir, cameras);
  // From here on the take has started: the older take's files are replaced.
  if (anyCamera) {
    PendingFile& lens = pending.back();
    const int fd = lens.fd;
    lens.fd = -1;
    if (!WriteWhole(fd, lens.path, FormatTakeLens(cameras, formats_), error)) {
      Abandon(pending);
      return false;
    }
  }
  size_t next = 0;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!cameras[slot]) continue;
    CameraFiles& files = files_[slot];
    files.failure.clear();
    for (CameraFile kind : kCameraFiles) {
      if (!Wanted(kind)) continue;
      PendingFile& file = pending[next++];
      const int fd = file.fd;
      file.fd = -1;
      if (!StartFile(files, slot, kind, file.path, fd, error)) {
        Abandon(pending);
        Close(nullptr);
        return false;
      }
    }
  }
  return true;
}

bool TakeWriter::StartFile(CameraFiles& files, int slot, CameraFile kind, const std::string& path, int fd,
                           std::string* error) {
  Stream& stream = files.streams[static_cast<size_t>(kind)];
  stream.path = path;
  stream.complete = 0;
  if (::ftruncate(fd, 0) != 0 || (stream.file = ::fdopen(fd, "wb")) == nullptr) {
    *error = Reason("cannot empty", path, errno);
    ::close(fd);
    return false;
  }
  if (BufferBytes(kind) > 0) std::setvbuf(stream.file, nullptr, _IOFBF, BufferBytes(kind));
  if (kind != CameraFile::Depth) return true;
  if (!files.encoder) files.encoder = std::make_unique<DepthFrameEncoder>();
  // The header goes out at once: even a take without a frame has a file
  // that says what it is.
  const std::string header = DepthFileHeaderBytes(formats_[slot].width, formats_[slot].height);
  errno = 0;
  if (std::fwrite(header.data(), 1, header.size(), stream.file) != header.size() ||
      std::fflush(stream.file) != 0) {
    *error = Reason("cannot write", path, errno ? errno : EIO);
    return false;
  }
  stream.complete = static_cast<long>(header.size());
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
  for (Stream& stream : files.streams) {
    if (stream.file == nullptr) continue;
    __fpurge(stream.file);
    (void)!::ftruncate(::fileno(stream.file), stream.complete);
  }
  files.failure = reason;
  return false;
}

bool TakeWriter::EncodeDepth(CameraFiles& files, int slot, int frameNumber, std::int64_t stamp,
                             const DepthFrameView* depth) {
  Stream& stream = files.streams[static_cast<size_t>(CameraFile::Depth)];
  const std::string camera = "camera " + std::to_string(slot + 1);
  const DepthFrameFormat& kept = formats_[slot];
  if (depth == nullptr || depth->pixels == nullptr || !SameFrames(depth->format, kept) ||
      depth->format.rowStride != depth->format.width) {
    const std::string size = depth ? SizeText(depth->format.width, depth->format.height) : "no";
    return FailWith(files, camera + " delivered a depth frame of " + size + " pixels" +
                               (depth && depth->format.width == kept.width && depth->format.height == kept.height
                                    ? " through another lens"
                                    : "") +
                               "; " + stream.path + " keeps its " + SizeText(kept.width, kept.height) +
                               " frames of the lens in " + kTakeLensFile);
  }
  std::string why;
  if (!files.encoder->Encode(frameNumber, stamp, depth->pixels, depth->format.width, depth->format.height,
                             &stream.cycle, &why))
    return FailWith(files, "cannot compress the depth frame of " + camera + ": " + why);
  return true;
}

bool TakeWriter::Append(int slot, int frameNumber, std::int64_t stamp,
                        const pcl::PointCloud<pcl::PointXYZ>& cloud, const DepthFrameView* depth) {
  CameraFiles& files = files_[slot];
  Stream& points = files.streams[static_cast<size_t>(CameraFile::Points)];
  Stream& line = files.streams[static_cast<size_t>(CameraFile::TimeStamps)];
  const bool keepsDepth = files.streams[static_cast<size_t>(CameraFile::Depth)].file != nullptr;
  if (points.file == nullptr || !files.failure.empty()) return false;
  // Everything is encoded before anything is written: a frame that cannot
  // be kept leaves the files at the last whole cycle.
  if (keepsDepth && !EncodeDepth(files, slot, frameNumber, stamp, depth)) return false;
  const std::string text = TimeStampLine(frameNumber, stamp);
  line.cycle.assign(text.begin(), text.end());
  points.cycle.clear();
  EncodePointRecord(cloud, points.cycle);

  for (CameraFile kind : kWriteOrder) {
    Stream& stream = files.streams[static_cast<size_t>(kind)];
    if (stream.file == nullptr) continue;
    errno = 0;
    if (std::fwrite(stream.cycle.data(), 1, stream.cycle.size(), stream.file) != stream.cycle.size() ||
        std::fflush(stream.file) != 0)
      return Fail(files, stream.path, errno ? errno : EIO);
  }
  for (Stream& stream : files.streams)
    if (stream.file != nullptr) stream.complete += static_cast<long>(stream.cycle.size());
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
  for (CameraFiles& files : files_)
    for (Stream& stream : files.streams) closeOne(stream.file, stream.path);
  return ok;
}

}  // namespace kestrova
