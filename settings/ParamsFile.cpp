#include "settings/ParamsFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "settings/CLocale.h"

namespace kestrova {

namespace {

constexpr int kLineCount = 10;
constexpr size_t kLineLimit = 1023;  // characters kept of one line

void Append(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void Append(std::string& out, const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) out.append(buffer, std::min(static_cast<size_t>(n), sizeof buffer - 1));
}

// Reads the values of one line the way "%*s %f %d ..." would: the first word
// is skipped unread, then values are taken in turn until one does not parse;
// from then on nothing more is taken.
class LineValues {
 public:
  explicit LineValues(const std::string& line) : cursor_(line.c_str()) {
    while (*cursor_ != '\0' && std::isspace(static_cast<unsigned char>(*cursor_))) ++cursor_;
    if (*cursor_ == '\0') {
      failed_ = true;  // no word to skip: an empty line yields nothing
      return;
    }
    while (*cursor_ != '\0' && !std::isspace(static_cast<unsigned char>(*cursor_))) ++cursor_;
  }

  LineValues& Float(float& field) {
    if (failed_) return *this;
    char* end = nullptr;
    float value = std::strtof(cursor_, &end);
    if (end == cursor_) {
      failed_ = true;
    } else {
      field = value;
      cursor_ = end;
    }
    return *this;
  }

  LineValues& Int(int& field) {
    if (failed_) return *this;
    char* end = nullptr;
    long value = std::strtol(cursor_, &end, 10);
    if (end == cursor_) {
      failed_ = true;
    } else {
      field = static_cast<int>(value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : value);
      cursor_ = end;
    }
    return *this;
  }

 private:
  const char* cursor_;
  bool failed_ = false;
};

void ParseLines(const std::vector<std::string>& lines, OperatorSettings& s,
                CameraSettings& cameras) {
  ScopedCLocale cLocale;
  auto line = [&](int index) -> std::string {
    return index < static_cast<int>(lines.size()) ? lines[index] : std::string();
  };
  // Lines 1 and 2 (the time) are not read.
  LineValues(line(2)).Float(s.calibration);
  LineValues(line(3))
      .Int(s.cameraEnabled[0]).Int(s.cameraEnabled[1]).Int(s.cameraEnabled[2]).Int(s.cameraEnabled[3]);
  LineValues(line(4)).Float(s.xMin).Float(s.xMax).Float(s.yMin).Float(s.yMax).Float(s.zMin).Float(s.zMax);
  LineValues(line(5)).Float(s.resolution);
  for (int n = 0; n < kCameraCount; ++n) {
    CameraSetting& c = cameras[n];
    LineValues(line(6 + n))
        .Float(c.x).Float(c.y).Float(c.z).Float(c.rx).Float(c.ry).Float(c.rz)
        .Int(c.r).Int(c.g).Int(c.b).Float(c.maxDepth);
  }
}

std::string ErrorText(const std::string& action, const std::string& path, int errorNumber) {
  return action + " " + path + ": " + std::strerror(errorNumber);
}

}  // namespace

std::string FormatParams(const OperatorSettings& s, const CameraSettings& cameras,
                         const std::string& timeText) {
  ScopedCLocale cLocale;
  std::string out;
  out += "TIME: " + timeText + "\r\n";
  out += " \r\n";
  Append(out, "CAL: %f \r\n", static_cast<double>(s.calibration));
  Append(out, "CAM: %d %d %d %d \r\n", s.cameraEnabled[0], s.cameraEnabled[1],
         s.cameraEnabled[2], s.cameraEnabled[3]);
  Append(out, "ROI: %f %f %f %f %f %f \r\n", double(s.xMin), double(s.xMax), double(s.yMin),
         double(s.yMax), double(s.zMin), double(s.zMax));
  Append(out, "RESOLUTION: %f \r\n", static_cast<double>(s.resolution));
  for (int n = 0; n < kCameraCount; ++n) {
    const CameraSetting& c = cameras[n];
    Append(out, "CAM%d: %f %f %f %f %f %f %d %d %d %f \r\n", n + 1, double(c.x), double(c.y),
           double(c.z), double(c.rx), double(c.ry), double(c.rz), c.r, c.g, c.b,
           double(c.maxDepth));
  }
  return out;
}

void ParseParams(const std::string& text, OperatorSettings& settings, CameraSettings& cameras) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size() && static_cast<int>(lines.size()) < kLineCount) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, std::min(end - start, kLineLimit)));
    start = end + 1;
  }
  ParseLines(lines, settings, cameras);
}

void ReadParams(std::FILE* file, OperatorSettings& settings, CameraSettings& cameras) {
  std::vector<std::string> lines;
  std::string line;
  int c;
  bool any = false;
  while (static_cast<int>(lines.size()) < kLineCount && (c = std::fgetc(file)) != EOF) {
    any = true;
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
      any = false;
    } else if (line.size() < kLineLimit) {
      line.push_back(static_cast<char>(c));
    }
  }
  if (any && static_cast<int>(lines.size()) < kLineCount) lines.push_back(line);
  std::fclose(file);
  ParseLines(lines, settings, cameras);
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
  static std::atomic<unsigned> counter{0};
  const std::string temp =
      path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (error) *error = ErrorText("cannot write", path, errno);
    return false;
  }
  const char* data = text.data();
  size_t left = text.size();
  int failure = 0;
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      failure = errno;
      break;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  if (failure == 0 && ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && std::rename(temp.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    ::unlink(temp.c_str());
    if (error) *error = ErrorText("cannot write", path, failure);
    return false;
  }
  return true;
}

namespace {

// The pid of "<name>.tmp<pid>-<n>", or 0 when `entry` is not such a name.
pid_t TemporaryOwner(const std::string& entry, const std::string& name) {
  const std::string prefix = name + ".tmp";
  if (entry.compare(0, prefix.size(), prefix) != 0) return 0;
  const char* at = entry.c_str() + prefix.size();
  char* end = nullptr;
  const long pid = std::strtol(at, &end, 10);
  if (end == at || *end != '-' || pid <= 0 || pid > INT_MAX) return 0;
  at = end + 1;
  std::strtoul(at, &end, 10);
  if (end == at || *end != '\0' || !std::isdigit(static_cast<unsigned char>(*at))) return 0;
  return static_cast<pid_t>(pid);
}

}  // namespace

void RemoveAbandonedTemporaries(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  DIR* listing = ::opendir(dir.c_str());
  if (!listing) return;
  while (const dirent* entry = ::readdir(listing)) {
    const pid_t owner = TemporaryOwner(entry->d_name, name);
    // A process that still runs may be writing its file right now.
    if (owner == 0 || owner == ::getpid() || ::kill(owner, 0) == 0 || errno != ESRCH) continue;
    ::unlink((dir + entry->d_name).c_str());
  }
  ::closedir(listing);
}

}  // namespace kestrova
